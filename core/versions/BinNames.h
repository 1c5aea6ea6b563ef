// Stamped names of recycle-bin items: "YYYY-MM-DD_hh-mm-ss-mmm_" and the name the file had.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace KVO_Core::restore {

using Microseconds = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

// The bin-relative name of a deleted file: its path without the root, the file name prefixed by
// when in local time. Bytes of the name are kept as they are (they need not be UTF-8).
std::filesystem::path stamped_name(std::filesystem::path const& file,
                                   std::chrono::system_clock::time_point when);

// The stamp of one name and the rest after it; none when the name is not stamped.
std::optional<std::pair<Microseconds, std::string>> stamped(std::string const& name);

// The stamp of a bin-relative path (its file name, else its first stamped element) and, in
// origin, the path with that element's stamp taken off; none (origin = item) without a stamp.
std::optional<std::pair<Microseconds, std::string>> stamped_origin(
    std::filesystem::path const& item, std::filesystem::path& origin);

// The deletion time recorded in a bin-relative path; none when it carries no stamp.
std::optional<Microseconds> deleted_at(std::filesystem::path const& item);

}  // namespace KVO_Core::restore
