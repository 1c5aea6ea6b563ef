// The sync state file of one item: a UTF-8 text with the item's roots and one line per
// remembered pair. Where the file lies is core/config/StateLocation.h's concern.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "core/sync/state/SyncState.h"

namespace KVO_Core {

// The state in the file when it exists, is readable and belongs to these roots. None otherwise:
// a missing file silently, foreign roots with one Info line, anything damaged with one Warning.
std::optional<SyncState> read_sync_state(std::filesystem::path const& file,
                                         std::wstring const& source_root,
                                         std::wstring const& target_root);

// Writes the state through "<file>.tmp" and renames it over the file (synced). False after one
// Error line; the old file then stays byte-identical and no temporary file is left.
bool write_sync_state(std::filesystem::path const& file, SyncState const& state);

// The whole file text of a state (format version 2 when it holds a link entry, else 1).
std::wstring sync_state_text(SyncState const& state);

// Escapes TAB, LF, CR and backslash; unescape is its inverse (an unknown escape gives the
// character, a final lone backslash stays).
std::wstring escape_state_field(std::wstring const& text);
std::wstring unescape_state_field(std::wstring const& text);

}  // namespace KVO_Core
