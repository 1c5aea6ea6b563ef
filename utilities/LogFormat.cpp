// The pieces of a log line and the log's default place.
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "utilities/ApplicationName.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Util.h"

namespace Utilities {

std::string timestamp() {
  using namespace std::chrono;
  auto now = system_clock::now();
  time_t seconds = system_clock::to_time_t(now);
  auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  if (millis < 0) millis += 1000;
  struct tm local;
  localtime_r(&seconds, &local);
  char buf[40];
  size_t n = strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  char ms[8];
  snprintf(ms, sizeof ms, ".%03d", static_cast<int>(millis));
  return std::string(buf, n) + ms;
}

std::wstring get_default_log_file_path() {
  std::string name = std::string(config::APPLICATION_NAME) + ".log";
  char const* home = std::getenv("HOME");
  if (!home) return util::string_to_wstring("/tmp/" + name);
  char const* cache = std::getenv("XDG_CACHE_HOME");
  std::string base = cache && *cache ? std::string(cache) : std::string(home) + "/.cache";
  return util::string_to_wstring(base + "/" + config::APPLICATION_NAME + "/" + name);
}

std::string error_text(std::string const& line) {
  auto tab = line.find('\t');
  return tab == std::string::npos ? line : line.substr(tab + 1);
}

void create_dir(std::wstring const& file_path) {
  auto parent = to_path(file_path).parent_path();
  if (parent.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
}

}  // namespace Utilities
