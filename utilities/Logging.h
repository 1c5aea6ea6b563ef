// The process's one logger: UTF-8 lines "<time> <tag> <level>\t<text>\n" appended to one file,
// a level threshold, suppression of repeated warnings and errors for 1800 s, collection of the
// messages of a stretch of work, and a mail for every fatal error.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/FileDescriptor.h"
#include "utilities/Mail.h"

namespace Utilities {

enum class LogLevel : int { Debug = 0, Info = 1, Warning = 2, Error = 3, FatalError = 4, None = 5 };

// Indexed by level; the names appear verbatim in every line and in the configuration.
inline constexpr char const* LOG_LEVEL_NAMES[] = {"Debug", "Info",       "Warning",
                                                  "Error", "FatalError", "None"};

struct LogMessage {
  LogLevel level;
  std::string text;  // UTF-8, the line's text without head and line feed
};

class Logging {
 public:
  using Clock = std::chrono::steady_clock;
  // Source of "now" for the repetition window and the fatal-mail throttle (replaceable in tests).
  using ClockSource = std::function<Clock::time_point()>;

  struct Repetition {
    Clock::time_point last_written;
    int count = 0;  // occurrences suppressed since last_written
  };

  // The logger, made on first use with the defaults; never null, safe from any thread.
  static Logging& instance();

  // A logger with the defaults: level Info, tag 'G', the default path, no file open.
  Logging();
  virtual ~Logging();
  Logging(Logging const&) = delete;
  Logging& operator=(Logging const&) = delete;

  // One line per call. Narrow texts are UTF-8; wide ones are converted.
  void log(LogLevel level, std::wstring const& text);
  void log(LogLevel level, std::string const& text);
  void log(LogLevel level, std::string const& a, std::string const& b);  // joined directly
  void log(LogLevel level, std::string const& text, bool value);         // text + "true"/"false"
  // A narrow C string must not fall to the bool overload: joined directly like two strings.
  void log(LogLevel level, std::string const& a, char const* b);
  // Text followed directly by the whole seconds since the clock's epoch.
  void log(LogLevel level, std::string const& text, Clock::time_point when);
  void log(LogLevel level, std::wstring const& a, std::wstring const& b);  // joined by a blank
  void log(LogLevel level, std::wstring const& a, std::string const& b);   // joined by a blank
  void log(LogLevel level, std::wstring const& a, std::wstring const& b, std::wstring const& c);
  void log(LogLevel level, std::wstring const& a, std::wstring const& b, std::wstring const& c,
           std::wstring const& d);

  // Settings, each under the logger's lock.
  LogLevel get_log_level();
  void set_log_level(LogLevel level);
  void set_origin_tag(char tag);
  std::uint16_t retention_days();
  void set_retention_days(std::uint16_t days);
  std::wstring get_log_file_path_name();
  // A different path closes the file, forgets the repetitions and opens the new path.
  void set_log_file_path_name(std::wstring const& path);
  std::wstring get_editor_path_name();
  void set_editor_path_name(std::wstring const& path);

  // "Debug".."FatalError" exactly; anything else, "None" included, is Error.
  static LogLevel get_from_string(std::wstring_view name);
  static char const* log_level_str(LogLevel level);

  // File control. Opening creates missing parent folders; failures leave the file closed.
  void open_file();
  void close_file();
  // Closes, removes the file from disk, forgets the repetitions and opens it again.
  void erase_file();
  // For callers that rewrite the file under the logger's own lock (the log cut): take the lock,
  // then use the *_locked forms, which expect it held.
  std::unique_lock<std::mutex> lock();
  void open_file_locked();
  void close_file_locked();
  std::wstring log_file_path_name_locked() const { return log_file_path_; }

  // Collection for reports: on empties the list; at most 200 messages of level Info and above.
  void collect_messages(bool on);
  std::vector<LogMessage> take_collected_messages();
  bool should_log(LogLevel level);

  // The mail settings (own lock).
  LogEmail& email() { return email_; }

  void set_clock(ClockSource clock);

 private:
  enum class Verdict { Write, Suppress };

  // A line of this level goes somewhere (the file or the collection).
  bool wanted(LogLevel level);
  // Writes and collects a line whose level was found wanted.
  void accept(LogLevel level, std::string const& text);
  std::string head(LogLevel level);
  void collect(LogLevel level, std::string const& line);
  void write_to_file(LogLevel level, std::string line);
  std::pair<Verdict, int> report_again(std::string const& line);
  void forget_expired_repetitions(Clock::time_point now);
  bool file_replaced() const;
  void follow_replaced_file();
  void write_line(std::string const& line);
  void notify_fatal(std::string const& line);
  bool notify_again(std::string const& text);
  Clock::time_point now() const;

  std::mutex mutex_;
  LogLevel threshold_ = LogLevel::Info;
  char origin_tag_ = 'G';
  std::wstring log_file_path_;
  std::wstring editor_path_ = L"/System/Applications/TextEdit.app";
  std::uint16_t retention_days_ = 7;
  std::string last_fatal_text_;
  std::optional<Clock::time_point> last_fatal_time_;  // none until the first fatal mail
  platform::FileDescriptor fd_;                       // O_APPEND descriptor of the log file
  Clock::time_point last_replaced_check_{};           // of the path against the open file
  // Lines logged before the file was first opened (start-up errors), written when it opens.
  std::vector<std::string> early_lines_;
  bool opened_once_ = false;
  std::map<std::string, Repetition> repetitions_;
  bool collecting_ = false;
  std::vector<LogMessage> collected_;
  LogEmail email_;
  ClockSource clock_;

  static std::unique_ptr<Logging> instance_;
  static std::once_flag init_instance_flag_;
  static void init_singleton();
};

// While one lives, the warnings and errors of its thread are written even when they repeat a
// recent line: a reading of the configuration reports every mistake it finds, every time. Nests.
class RepeatsWritten {
 public:
  RepeatsWritten();
  ~RepeatsWritten();
  RepeatsWritten(RepeatsWritten const&) = delete;
  RepeatsWritten& operator=(RepeatsWritten const&) = delete;

 private:
  bool previous_;
};

// Local time now: "%Y-%m-%d %H:%M:%S" and "." and three digits of milliseconds.
std::string timestamp();
// HOME unset: "/tmp/pellimoravin.log"; else $XDG_CACHE_HOME (when not empty) or $HOME/.cache,
// then "/pellimoravin/pellimoravin.log".
std::wstring get_default_log_file_path();
// The part of a log line after its first tab; the whole line when it has none.
std::string error_text(std::string const& line);
// Creates every missing folder above file_path; errors are ignored.
void create_dir(std::wstring const& file_path);

namespace detail {
inline std::wstring log_part(wchar_t const* s) { return s; }
inline std::wstring const& log_part(std::wstring const& s) { return s; }
inline std::string log_part(char const* s) { return s; }
inline std::string const& log_part(std::string const& s) { return s; }
inline Logging::Clock::time_point log_part(Logging::Clock::time_point t) { return t; }
inline bool log_part(bool b) { return b; }
}  // namespace detail

// Converts literals and C strings to the string types of the matching `log` overload and logs
// them on the process's logger: wide parts are joined by blanks, two narrow parts directly.
template <typename... Parts>
void log_at(LogLevel level, Parts const&... parts) {
  Logging& logger = Logging::instance();
  // Dropped lines (most Debug ones) cost no conversion of their parts.
  if (logger.should_log(level)) logger.log(level, detail::log_part(parts)...);
}

// One line at Error / FatalError; a narrow message and an exception's text join directly.
template <typename... Parts>
void log_error(Parts const&... parts) {
  log_at(LogLevel::Error, parts...);
}
template <typename... Parts>
void log_fatal(Parts const&... parts) {
  log_at(LogLevel::FatalError, parts...);
}

}  // namespace Utilities
