// Replacing a whole file the system owns without a window in which it is missing or half written.
#pragma once

#include <filesystem>
#include <string_view>

namespace KVO_Core {

// Writes bytes to `temporary` (same folder as `file`), syncs it, renames it over `file` and syncs
// the folder. A replaced file keeps its mode; a new one gets mode 0600. On failure `file` is
// untouched, `temporary` is removed, and std::system_error is thrown.
void replace_file(std::filesystem::path const& file, std::filesystem::path const& temporary,
                  std::string_view bytes);

}  // namespace KVO_Core
