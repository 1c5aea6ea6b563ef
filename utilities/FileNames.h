// Names made by the system: time-stamped names of bin entries and transfer files, today's date
// for conflict copies, and file names made from item names.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace Utilities::file_name {

// `path` with its file name prefixed by `time` in local time as
// "YYYY-MM-DD_HH-MM-SS-mmm_" (seconds rounded toward the past, also before the epoch);
// unchanged when the path has no file name (empty or ending in a separator).
std::filesystem::path with_timestamp_prefix(std::filesystem::path const& path,
                                            std::chrono::system_clock::time_point time);
// Today's local date as "YYYY-MM-DD".
std::wstring local_date();
// `name` with control characters and < > : " / \ | ? * as '_' and without trailing blanks and
// dots; may be empty, in which case the caller supplies its own default.
std::wstring sanitized(std::wstring const& name);

}  // namespace Utilities::file_name
