// Conversions and exact comparisons of file times. The file clock does not count from the Unix
// epoch here, so every conversion to or from Unix time goes through the clock's own to_sys and
// from_sys; values outside what the target type can hold are clamped to its nearest end.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>

namespace Utilities::file_time {

using FileTime = std::filesystem::file_time_type;

// Whole seconds since the Unix epoch, truncated toward zero.
std::time_t to_time_t(FileTime const& time);
// The file time of `seconds` since the Unix epoch; clamped to the file clock's range.
FileTime to_file_time(std::time_t seconds);
// Nanoseconds since the Unix epoch; clamped to the int64 range.
std::int64_t to_unix_nanoseconds(FileTime const& time);
// The file time `nanoseconds` after the Unix epoch; clamped to the file clock's range.
FileTime from_unix_nanoseconds(std::int64_t nanoseconds);
// Whole Unix seconds (toward the past) and the nanoseconds after them, as the system's time
// calls take them.
timespec to_timespec(FileTime const& time);

// Equal to the nanosecond.
bool equal(FileTime const& a, FileTime const& b);
// `a` later than `b`, to the nanosecond.
bool greater(FileTime const& a, FileTime const& b);

}  // namespace Utilities::file_time
