// Where an item's sync state file lives: the folder "state" beside the configuration file, one
// "<sanitised item name>.tsv" per item ("state.tsv" when the name sanitises to nothing).
#pragma once

#include <filesystem>
#include <string>

namespace KVO_Core {

class SyncItem;

// The folder "state" beside the configuration file (not created here).
std::filesystem::path sync_state_dir();
// The state file of an item name in `folder`.
std::filesystem::path sync_state_file_path(std::filesystem::path const& folder,
                                           std::wstring const& item_name);
// The state file of a configured item: as above, but told apart ("-2", "-3", ...) from an
// earlier item whose name gives the same file name. Prefer this form for configured items.
std::filesystem::path sync_state_file_path(std::filesystem::path const& folder,
                                           SyncItem const& item);
// Removes the file; true unless the removal failed (a missing file counts as removed).
bool remove_sync_state(std::filesystem::path const& file);

}  // namespace KVO_Core
