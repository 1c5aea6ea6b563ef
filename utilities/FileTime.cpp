#include "utilities/FileTime.h"

#include <chrono>
#include <limits>

namespace Utilities::file_time {

namespace {

using std::chrono::file_clock;
using std::chrono::nanoseconds;
using std::chrono::seconds;
using std::chrono::sys_seconds;
using std::chrono::system_clock;

using Limits = std::numeric_limits<std::int64_t>;

// Where the file clock's epoch lies in Unix time, in whole seconds.
std::int64_t epoch_offset_seconds() {
  static std::int64_t const offset =
      file_clock::to_sys(std::chrono::time_point<file_clock, seconds>{}).time_since_epoch().count();
  return offset;
}

// The Unix time of the file time's whole seconds (rounded toward the past) and the nanoseconds
// after them (0 to 999,999,999); never overflows.
std::pair<std::int64_t, std::int64_t> unix_seconds_and_rest(FileTime const& time) {
  // Split by hand: flooring to seconds with <chrono> overflows near the clock's minimum.
  std::int64_t const count = time.time_since_epoch().count();
  std::int64_t whole = count / 1'000'000'000;
  std::int64_t rest = count % 1'000'000'000;
  if (rest < 0) {
    rest += 1'000'000'000;
    --whole;
  }
  auto const file_seconds = std::chrono::time_point<file_clock, seconds>{seconds{whole}};
  return {file_clock::to_sys(file_seconds).time_since_epoch().count(), rest};
}

}  // namespace

std::time_t to_time_t(FileTime const& time) {
  auto [unix_seconds, rest] = unix_seconds_and_rest(time);
  // Truncate toward zero: before the epoch a fraction belongs to the later second.
  if (unix_seconds < 0 && rest > 0) ++unix_seconds;
  return static_cast<std::time_t>(unix_seconds);
}

FileTime to_file_time(std::time_t unix_seconds) {
  std::int64_t const offset = epoch_offset_seconds();
  std::int64_t const max_seconds = FileTime::max().time_since_epoch().count() / 1'000'000'000;
  std::int64_t const min_seconds = FileTime::min().time_since_epoch().count() / 1'000'000'000;
  std::int64_t const s = static_cast<std::int64_t>(unix_seconds);
  if (s > offset + max_seconds) return FileTime::max();
  if (s < offset + min_seconds) return FileTime::min();
  auto const file_seconds = file_clock::from_sys(sys_seconds{seconds{s}});
  return std::chrono::time_point_cast<FileTime::duration>(file_seconds);
}

std::int64_t to_unix_nanoseconds(FileTime const& time) {
  auto const [unix_seconds, rest] = unix_seconds_and_rest(time);
  std::int64_t whole_ns;
  std::int64_t result;
  if (__builtin_mul_overflow(unix_seconds, std::int64_t{1'000'000'000}, &whole_ns) ||
      __builtin_add_overflow(whole_ns, rest, &result))
    return unix_seconds < 0 ? Limits::min() : Limits::max();
  return result;
}

timespec to_timespec(FileTime const& time) {
  auto const [unix_seconds, rest] = unix_seconds_and_rest(time);
  return {static_cast<time_t>(unix_seconds), static_cast<long>(rest)};
}

FileTime from_unix_nanoseconds(std::int64_t unix_nanoseconds) {
  std::int64_t const offset_ns = epoch_offset_seconds() * 1'000'000'000;
  std::int64_t file_ns;
  if (__builtin_sub_overflow(unix_nanoseconds, offset_ns, &file_ns))
    return unix_nanoseconds < 0 ? FileTime::min() : FileTime::max();
  auto const sys = std::chrono::sys_time<nanoseconds>{nanoseconds{unix_nanoseconds}};
  return std::chrono::time_point_cast<FileTime::duration>(file_clock::from_sys(sys));
}

bool equal(FileTime const& a, FileTime const& b) { return a == b; }

bool greater(FileTime const& a, FileTime const& b) { return a > b; }

}  // namespace Utilities::file_time
