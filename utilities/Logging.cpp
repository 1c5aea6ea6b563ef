#include "utilities/Logging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace Utilities {

namespace {

constexpr auto REPEAT_WINDOW = std::chrono::seconds(1800);
constexpr std::size_t REPETITION_TABLE_LIMIT = 256;
constexpr std::size_t COLLECT_LIMIT = 200;
constexpr std::size_t EARLY_LINE_LIMIT = 500;  // start-up lines kept until the file opens
constexpr auto REPLACED_CHECK_INTERVAL = std::chrono::seconds(1);

thread_local bool repeats_written = false;

// Guards re-creating the logger after its destruction at process exit.
std::mutex recreate_mutex;

bool at_least(LogLevel level, LogLevel threshold) {
  return static_cast<int>(level) >= static_cast<int>(threshold);
}

// A folder anyone may write to (such as /tmp): a link or another user's file planted under the
// log's name there must not be followed or appended to.
bool in_shared_folder(std::filesystem::path const& file) {
  struct stat st;
  auto parent = file.parent_path();
  if (parent.empty()) parent = ".";
  return ::stat(parent.c_str(), &st) == 0 && (st.st_mode & S_ISVTX) && (st.st_mode & S_IWOTH);
}

platform::FileDescriptor open_log(std::filesystem::path const& file) {
  int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
  if (!in_shared_folder(file)) return platform::FileDescriptor(::open(file.c_str(), flags, 0666));
  platform::FileDescriptor fd(::open(file.c_str(), flags | O_NOFOLLOW | O_NONBLOCK, 0600));
  if (!fd) return {};
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) return {};
  return fd;
}

}  // namespace

RepeatsWritten::RepeatsWritten() : previous_(repeats_written) { repeats_written = true; }

RepeatsWritten::~RepeatsWritten() { repeats_written = previous_; }

std::unique_ptr<Logging> Logging::instance_;
std::once_flag Logging::init_instance_flag_;

void Logging::init_singleton() { instance_.reset(new Logging); }

Logging& Logging::instance() {
  std::call_once(init_instance_flag_, init_singleton);
  if (!instance_) {
    std::lock_guard lock(recreate_mutex);
    if (!instance_) instance_.reset(new Logging);
  }
  return *instance_;
}

Logging::Logging()
    : log_file_path_(get_default_log_file_path()), clock_([] { return Clock::now(); }) {}

Logging::~Logging() {
  std::lock_guard lock(mutex_);
  close_file_locked();
}

// Every overload tests the level before it builds the text: most Debug lines are dropped.
void Logging::log(LogLevel level, std::wstring const& text) {
  if (wanted(level)) accept(level, util::wstring_to_string(text));
}
void Logging::log(LogLevel level, std::string const& text) {
  if (wanted(level)) accept(level, text);
}
void Logging::log(LogLevel level, std::string const& a, std::string const& b) {
  if (wanted(level)) accept(level, a + b);
}
void Logging::log(LogLevel level, std::string const& text, bool value) {
  if (wanted(level)) accept(level, text + (value ? "true" : "false"));
}
void Logging::log(LogLevel level, std::string const& a, char const* b) {
  if (wanted(level)) accept(level, a + (b ? b : ""));
}
void Logging::log(LogLevel level, std::string const& text, Clock::time_point when) {
  if (!wanted(level)) return;
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch());
  accept(level, text + std::to_string(seconds.count()));
}
void Logging::log(LogLevel level, std::wstring const& a, std::wstring const& b) {
  if (wanted(level)) accept(level, util::wstring_to_string(a) + " " + util::wstring_to_string(b));
}
void Logging::log(LogLevel level, std::wstring const& a, std::string const& b) {
  if (wanted(level)) accept(level, util::wstring_to_string(a) + " " + b);
}
void Logging::log(LogLevel level, std::wstring const& a, std::wstring const& b,
                  std::wstring const& c) {
  if (!wanted(level)) return;
  accept(level, util::wstring_to_string(a) + " " + util::wstring_to_string(b) + " " +
                    util::wstring_to_string(c));
}
void Logging::log(LogLevel level, std::wstring const& a, std::wstring const& b,
                  std::wstring const& c, std::wstring const& d) {
  if (!wanted(level)) return;
  accept(level, util::wstring_to_string(a) + " " + util::wstring_to_string(b) + " " +
                    util::wstring_to_string(c) + " " + util::wstring_to_string(d));
}

bool Logging::wanted(LogLevel level) {
  return level != LogLevel::None && should_log(level);  // None is a threshold only
}

void Logging::accept(LogLevel level, std::string const& text) {
  std::string line = head(level) + text + "\n";
  collect(level, line);
  write_to_file(level, line);
  if (level == LogLevel::FatalError) notify_fatal(line);
}

std::string Logging::head(LogLevel level) {
  char tag;
  {
    std::lock_guard lock(mutex_);
    tag = origin_tag_;
  }
  return timestamp() + ' ' + tag + ' ' + log_level_str(level) + '\t';
}

void Logging::collect(LogLevel level, std::string const& line) {
  std::lock_guard lock(mutex_);
  if (!collecting_ || !at_least(level, LogLevel::Info) || collected_.size() >= COLLECT_LIMIT)
    return;
  std::string text = error_text(line);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  collected_.push_back({level, std::move(text)});
}

void Logging::write_to_file(LogLevel level, std::string line) {
  int suppressed = 0;
  {
    std::lock_guard lock(mutex_);
    if (!at_least(level, threshold_)) return;
    if (at_least(level, LogLevel::Warning) && !repeats_written) {
      auto [verdict, count] = report_again(line);
      if (verdict == Verdict::Suppress) return;
      suppressed = count;
    }
    if (suppressed == 0) {
      follow_replaced_file();
      write_line(line);
      return;
    }
  }
  // The note is translated without the lock: a missing translation is itself logged.
  std::string note =
      " " + translation::translate_utf8("log_message_repeated", {std::to_string(suppressed)});
  line.insert(line.size() - 1, note);
  std::lock_guard lock(mutex_);
  follow_replaced_file();
  write_line(line);
}

std::pair<Logging::Verdict, int> Logging::report_again(std::string const& line) {
  auto t = now();
  forget_expired_repetitions(t);
  auto [it, inserted] = repetitions_.try_emplace(error_text(line), Repetition{t, 0});
  if (inserted) return {Verdict::Write, 0};
  Repetition& r = it->second;
  if (t - r.last_written < REPEAT_WINDOW) {
    ++r.count;
    return {Verdict::Suppress, 0};
  }
  int count = r.count;
  r.last_written = t;
  r.count = 0;
  return {Verdict::Write, count};
}

void Logging::forget_expired_repetitions(Clock::time_point t) {
  if (repetitions_.size() < REPETITION_TABLE_LIMIT) return;
  std::erase_if(repetitions_,
                [&](auto const& entry) { return t - entry.second.last_written >= REPEAT_WINDOW; });
  if (repetitions_.size() >= REPETITION_TABLE_LIMIT) repetitions_.clear();
}

bool Logging::file_replaced() const {
  struct stat open_st, path_st;
  if (::fstat(fd_.get(), &open_st) != 0) return false;
  if (::stat(to_path(log_file_path_).c_str(), &path_st) != 0) return true;
  return open_st.st_ino != path_st.st_ino || open_st.st_dev != path_st.st_dev;
}

void Logging::follow_replaced_file() {
  if (!fd_) return;
  // Two more calls per line cost as much as the line itself; a file moved or removed by someone
  // else is followed within a second.
  Clock::time_point const t = now();
  if (t >= last_replaced_check_ && t - last_replaced_check_ < REPLACED_CHECK_INTERVAL) return;
  last_replaced_check_ = t;
  if (!file_replaced()) return;
  close_file_locked();
  open_file_locked();
}

void Logging::write_line(std::string const& line) {
  if (!fd_) {
    if (!opened_once_ && early_lines_.size() < EARLY_LINE_LIMIT) early_lines_.push_back(line);
    return;
  }
  // One write per line on an O_APPEND descriptor: lines of other processes never interleave.
  ssize_t n;
  do {
    n = ::write(fd_.get(), line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  // The line and the file's new length are on disk before log returns; only the file's times
  // may follow later, which spares a second disk write per line.
  if (n > 0) ::fdatasync(fd_.get());
}

void Logging::notify_fatal(std::string const& line) {
  SmtpAccount account = email_.smtp_account();
  if (account.server.empty() || account.from.empty()) return;
  std::wstring to = email_.notify_address();
  if (!email_.notify_active() || to.empty()) return;
  if (!notify_again(error_text(line))) return;
  MailResult result =
      send_mail(account, to, translation::translate("fatal_error_mail_subject"), line);
  if (!result.error.empty()) {
    log(LogLevel::Error,
        translation::translate_utf8("notification_failed", {util::wstring_to_string(to)}),
        result.error);
  } else if (result.sent_unencrypted) {
    log(LogLevel::Warning,
        translation::translate_utf8("smtp_unencrypted", {util::wstring_to_string(account.server)}));
  }
}

bool Logging::notify_again(std::string const& text) {
  std::lock_guard lock(mutex_);
  auto t = now();
  if (last_fatal_time_ && text == last_fatal_text_ && t - *last_fatal_time_ < REPEAT_WINDOW)
    return false;
  last_fatal_text_ = text;
  last_fatal_time_ = t;
  return true;
}

Logging::Clock::time_point Logging::now() const { return clock_(); }

void Logging::set_clock(ClockSource clock) {
  std::lock_guard lock(mutex_);
  clock_ = std::move(clock);
  last_replaced_check_ = {};
}

LogLevel Logging::get_log_level() {
  std::lock_guard lock(mutex_);
  return threshold_;
}
void Logging::set_log_level(LogLevel level) {
  std::lock_guard lock(mutex_);
  threshold_ = level;
}
void Logging::set_origin_tag(char tag) {
  std::lock_guard lock(mutex_);
  origin_tag_ = tag;
}
std::uint16_t Logging::retention_days() {
  std::lock_guard lock(mutex_);
  return retention_days_;
}
void Logging::set_retention_days(std::uint16_t days) {
  std::lock_guard lock(mutex_);
  retention_days_ = days;
}
std::wstring Logging::get_log_file_path_name() {
  std::lock_guard lock(mutex_);
  return log_file_path_;
}
void Logging::set_log_file_path_name(std::wstring const& path) {
  std::lock_guard lock(mutex_);
  if (path == log_file_path_) return;
  close_file_locked();
  log_file_path_ = path;
  repetitions_.clear();
  open_file_locked();
}
std::wstring Logging::get_editor_path_name() {
  std::lock_guard lock(mutex_);
  return editor_path_;
}
void Logging::set_editor_path_name(std::wstring const& path) {
  std::lock_guard lock(mutex_);
  if (path != editor_path_) editor_path_ = path;
}

LogLevel Logging::get_from_string(std::wstring_view name) {
  for (int i = 0; i <= static_cast<int>(LogLevel::FatalError); ++i) {
    std::string_view known = LOG_LEVEL_NAMES[i];
    if (name.size() == known.size() && std::equal(name.begin(), name.end(), known.begin()))
      return static_cast<LogLevel>(i);
  }
  return LogLevel::Error;
}

char const* Logging::log_level_str(LogLevel level) {
  int i = static_cast<int>(level);
  return i >= 0 && i <= static_cast<int>(LogLevel::None) ? LOG_LEVEL_NAMES[i] : "";
}

std::unique_lock<std::mutex> Logging::lock() { return std::unique_lock(mutex_); }

void Logging::open_file() {
  std::lock_guard lock(mutex_);
  open_file_locked();
}

void Logging::open_file_locked() {
  if (fd_ || log_file_path_.empty()) return;
  create_dir(log_file_path_);
  fd_ = open_log(to_path(log_file_path_));
  last_replaced_check_ = now();
  if (!fd_ || opened_once_) return;
  opened_once_ = true;
  std::vector<std::string> early;
  early.swap(early_lines_);
  for (std::string const& line : early) write_line(line);
}

void Logging::close_file() {
  std::lock_guard lock(mutex_);
  close_file_locked();
}

void Logging::close_file_locked() { fd_.close(); }

void Logging::erase_file() {
  std::lock_guard lock(mutex_);
  close_file_locked();
  if (!log_file_path_.empty()) ::unlink(to_path(log_file_path_).c_str());
  repetitions_.clear();
  open_file_locked();
}

void Logging::collect_messages(bool on) {
  std::lock_guard lock(mutex_);
  collecting_ = on;
  if (on) collected_.clear();
}

std::vector<LogMessage> Logging::take_collected_messages() {
  std::lock_guard lock(mutex_);
  std::vector<LogMessage> out = std::move(collected_);
  collected_.clear();
  return out;
}

bool Logging::should_log(LogLevel level) {
  std::lock_guard lock(mutex_);
  return at_least(level, threshold_) || (collecting_ && at_least(level, LogLevel::Info));
}

}  // namespace Utilities
