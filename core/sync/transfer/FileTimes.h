// Setting a local file's modification time with retries, and waiting until it reads back.
// The file-system access and the pause are passed in, so that tests need not wait for real.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <system_error>

#include "utilities/FailureReasons.h"

namespace KVO_Core {

struct TimeAccess {
  // One attempt to set the time: 0, else the reason.
  std::function<Utilities::FilesystemUtil::FileInfoResult(std::filesystem::path const&,
                                                          std::filesystem::file_time_type const&)>
      write;
  // The time as it reads back; error set when it cannot be read.
  std::function<std::filesystem::file_time_type(std::filesystem::path const&, std::error_code&)>
      read;
  std::function<void(std::chrono::milliseconds)> pause;
  // The step in which the file system keeps times; a read-back within it counts as equal.
  std::function<std::chrono::nanoseconds(std::filesystem::path const&)> granularity;
};

// The real file system and a real sleep.
TimeAccess const& system_time_access();

// Up to 10 attempts 100 ms apart; 13 and 31 end at the first attempt. 0 when set, and also when
// a stop request cut the attempts short (nothing reported then); else the last reason. With
// wait, returns only after wait_for_updated_filetime.
Utilities::FilesystemUtil::FileInfoResult set_last_write_time(
    std::filesystem::path const& path, std::filesystem::file_time_type const& time, bool wait,
    TimeAccess const& access = system_time_access());

// Returns once the time reads back (to the nanosecond, or within the file system's step), on a
// stop request, or after 101 checks 100 ms apart, setting the time again after every 11th.
void wait_for_updated_filetime(std::filesystem::path const& path,
                               std::filesystem::file_time_type const& time,
                               TimeAccess const& access = system_time_access());

}  // namespace KVO_Core
