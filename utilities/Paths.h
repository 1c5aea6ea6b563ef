// The one way between the system's wide texts and file-system paths: the wide text as UTF-8 bytes.
// Never build a path from a std::wstring or ask one for .wstring(): the standard library throws
// on non-ASCII text there.
#pragma once

#include <filesystem>
#include <string>

namespace Utilities {

// The path whose bytes are the UTF-8 of `text` (unrepresentable characters as U+FFFD).
std::filesystem::path to_path(std::wstring const& text);
// The wide text of the path's bytes decoded as UTF-8 (malformed bytes as U+FFFD).
std::wstring from_path(std::filesystem::path const& path);

}  // namespace Utilities
