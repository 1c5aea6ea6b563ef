#include "utilities/LogCut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace Utilities {

namespace {

constexpr std::size_t BLOCK = 256 * 1024;
// "%Y-%m-%d %H:%M:%S": the part of a line that carries its time.
constexpr std::size_t STAMP_LENGTH = 19;
constexpr auto DAY = std::chrono::seconds(86'400);

bool digits(std::string const& s, std::size_t pos, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

void sync_directory(std::filesystem::path const& dir) {
  platform::FileDescriptor fd(
      ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) ::fsync(fd.get());
}

}  // namespace

LogCut::LogCut() : LogCut(Clock::now()) {}

LogCut::LogCut(Clock::time_point now)
    : logger_(Logging::instance()),
      now_(std::chrono::time_point_cast<std::chrono::microseconds>(now)) {}

LogCut::~LogCut() {
  if (!lock_.owns_lock()) return;
  out_.close();
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
  logger_.open_file_locked();
}

bool LogCut::open_files() {
  // Read before taking the lock: the setting's getter takes it itself.
  retention_days_ = logger_.retention_days();
  limit_ = now_ - retention_days_ * DAY;
  lock_ = logger_.lock();
  log_name_ = logger_.log_file_path_name_locked();
  log_path_ = to_path(log_name_);
  temp_path_ = to_path(log_name_ + L".tmp");
  logger_.close_file_locked();

  in_ = platform::FileDescriptor(::open(log_path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  bool ok = in_ && ::fstat(in_.get(), &st) == 0 && S_ISREG(st.st_mode);
  if (ok) {
    // A stale copy, or anything planted under the name, is replaced, never written through.
    ::unlink(temp_path_.c_str());
    out_ = platform::FileDescriptor(::open(
        temp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    ok = out_ && ::fchmod(out_.get(), st.st_mode & 07777) == 0;
    if (!ok && out_) {
      out_.close();
      ::unlink(temp_path_.c_str());
    }
  }
  if (!ok) {
    in_.close();
    temp_path_.clear();
    logger_.open_file_locked();
    lock_.unlock();
  }
  return ok;
}

void LogCut::cut() {
  std::vector<char> block(BLOCK);
  while (error_ == 0) {
    ssize_t const n = ::read(in_.get(), block.data(), block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
      break;
    }
    if (n == 0) break;
    take(block.data(), static_cast<std::size_t>(n));
  }
  if (error_ == 0) end_of_input();
  flush_output();
}

void LogCut::close_files() {
  if (error_ == 0 && ::fsync(out_.get()) != 0) fail(errno);
  if (error_ == 0 && ::rename(temp_path_.c_str(), log_path_.c_str()) != 0) fail(errno);
  if (error_ == 0) {
    sync_directory(log_path_.parent_path());
    // Another process may have appended to the old file until it saw the new one.
    copy_rest();
    if (error_ == 0 && ::fsync(out_.get()) != 0) fail(errno);
    temp_path_.clear();
  }
  int const close_error = out_.close();
  if (error_ == 0 && close_error != 0) fail(close_error);
  in_.close();
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
  temp_path_.clear();
  logger_.open_file_locked();
  lock_.unlock();
  if (error_ != 0)
    log_at(LogLevel::Error, translation::translate("log_file_not_shortenable"), log_name_,
           util::string_to_wstring(std::strerror(error_)));
}

void LogCut::operator()() {
  if (!open_files()) return;
  cut();
  close_files();
}

bool LogCut::get_time_from_line(std::string const& line, Clock::time_point& out) {
  if (line.size() < STAMP_LENGTH) return false;
  int year, month, day, hour, minute, second;
  if (!digits(line, 0, 4, year) || line[4] != '-' || !digits(line, 5, 2, month) || line[7] != '-' ||
      !digits(line, 8, 2, day) || line[10] != ' ' || !digits(line, 11, 2, hour) ||
      line[13] != ':' || !digits(line, 14, 2, minute) || line[16] != ':' ||
      !digits(line, 17, 2, second))
    return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return false;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  std::time_t const t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  out = Clock::from_time_t(t);
  return true;
}

void LogCut::take(char const* data, std::size_t size) {
  while (size > 0) {
    if (!decided_) {
      std::size_t const want = std::min(size, STAMP_LENGTH - head_.size());
      auto const* lf = static_cast<char const*>(std::memchr(data, '\n', want));
      std::size_t const n = lf ? static_cast<std::size_t>(lf - data) : want;
      head_.append(data, n);
      data += n;
      size -= n;
      if (!lf && head_.size() < STAMP_LENGTH) return;
      decide();
    }
    auto const* lf = static_cast<char const*>(std::memchr(data, '\n', size));
    std::size_t const n = lf ? static_cast<std::size_t>(lf - data) + 1 : size;
    if (keep_) emit(data, n);
    data += n;
    size -= n;
    if (lf) {
      keep_previous_ = keep_;
      decided_ = false;
      head_.clear();
    }
  }
}

void LogCut::decide() {
  Clock::time_point stamp;
  keep_ = get_time_from_line(head_, stamp) ? stamp >= limit_ : keep_previous_;
  decided_ = true;
  if (keep_) emit(head_.data(), head_.size());
}

void LogCut::end_of_input() {
  if (!decided_ && head_.empty()) return;
  if (!decided_) decide();
  if (keep_) emit("\n", 1);
  keep_previous_ = keep_;
  decided_ = false;
  head_.clear();
}

void LogCut::emit(char const* data, std::size_t size) {
  output_.append(data, size);
  if (output_.size() >= BLOCK) flush_output();
}

void LogCut::flush_output() {
  std::size_t done = 0;
  while (error_ == 0 && done < output_.size()) {
    ssize_t const n = ::write(out_.get(), output_.data() + done, output_.size() - done);
    if (n < 0) {
      if (errno != EINTR) fail(errno);
      continue;
    }
    done += static_cast<std::size_t>(n);
  }
  output_.clear();
}

void LogCut::copy_rest() {
  // Everything that arrived after the copy is recent: keep it as it is.
  keep_previous_ = true;
  cut();
}

void LogCut::fail(int error) {
  if (error_ == 0) error_ = error == 0 ? EIO : error;
}

void DailyLogCut::operator()(LogCut::Clock::time_point now) {
  if (now < next_) return;
  next_ = now + std::chrono::hours(24);
  LogCut cut(now);
  cut();
}

}  // namespace Utilities
