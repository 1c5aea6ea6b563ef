// Shortening the log file to the lines of the last RetentionDays days, at most once a day.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/FileDescriptor.h"
#include "utilities/Logging.h"

namespace Utilities {

// One cut of the logger's file, made and run once. The kept lines are copied into the log's path
// with ".tmp" appended, which is synced and renamed over the log; any failure (reading, writing,
// syncing, closing, renaming) leaves the log as it was, removes the copy and is logged at Error
// with "log_file_not_shortenable". The logger's lock is held from open_files to close_files, so
// lines logged by other threads meanwhile wait and land in the new file.
class LogCut {
 public:
  using Clock = std::chrono::system_clock;

  // The present of the cut is now (to the microsecond).
  LogCut();
  // The present of the cut is `now`.
  explicit LogCut(Clock::time_point now);
  // Reopens the logger's file and removes an unfinished copy if the cut did not end normally.
  ~LogCut();
  LogCut(LogCut const&) = delete;
  LogCut& operator=(LogCut const&) = delete;

  // Takes the logger's lock, closes its file and opens the log for reading and the copy for
  // writing. False (the logger's file reopened, the lock released) when either cannot be opened,
  // for instance when the log does not exist yet.
  bool open_files();
  // Copies the lines stamped no earlier than now minus RetentionDays days; a line without a time
  // stamp shares the fate of the line before it (the first stays); a last line gets its LF.
  void cut();
  // Syncs the copy and renames it over the log when everything succeeded, else removes it;
  // reopens the logger's file, releases the lock and reports a failure.
  void close_files();
  // open_files, then cut and close_files when it succeeded.
  void operator()();

  // The local time "%Y-%m-%d %H:%M:%S" at the start of the line; false when it is not there.
  static bool get_time_from_line(std::string const& line, Clock::time_point& out);

 private:
  void take(char const* data, std::size_t size);
  void decide();
  void end_of_input();
  void emit(char const* data, std::size_t size);
  void flush_output();
  void copy_rest();
  void fail(int error);

  Logging& logger_;
  Clock::time_point now_;
  std::uint16_t retention_days_ = 0;
  Clock::time_point limit_;
  std::unique_lock<std::mutex> lock_;
  std::wstring log_name_;
  std::filesystem::path log_path_;
  std::filesystem::path temp_path_;
  platform::FileDescriptor in_;
  platform::FileDescriptor out_;
  int error_ = 0;  // first failure of the copy (errno)

  // The line being filtered: its first bytes until its fate is known.
  std::string head_;
  bool decided_ = false;
  bool keep_ = false;
  bool keep_previous_ = true;
  std::string output_;
};

// Runs a cut at its first call and then when 24 hours have passed since the last one. A cut that
// fails is not tried again before the next day.
class DailyLogCut {
 public:
  void operator()(LogCut::Clock::time_point now);

 private:
  LogCut::Clock::time_point next_ = LogCut::Clock::time_point::min();
};

}  // namespace Utilities
