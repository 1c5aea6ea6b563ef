// The small files of the device link in its directory: written whole through a temporary file,
// read with a bound on their size.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace KVO_Core::link_files {

// Replaces `path` durably (temporary file, fsync, rename, fsync of the folder); false on any
// failure, which leaves the old file as it was. A private file ends with mode 0600.
bool write(std::filesystem::path const& path, std::string_view text, bool private_file = false);
// The file's bytes; empty when it is missing, unreadable or longer than `limit`.
std::string read(std::filesystem::path const& path, std::size_t limit = 1 << 20);
// The lines of the file split at "\n", without the line ends; empty for a missing file.
std::vector<std::string> read_lines(std::filesystem::path const& path);
// The decimal port on the file's first line (as atoi reads it), 0 when there is none.
int first_line_number(std::filesystem::path const& path);

}  // namespace KVO_Core::link_files
