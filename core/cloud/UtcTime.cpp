#include "core/cloud/UtcTime.h"

#include <ctime>

namespace KVO_Core::utc_time {

std::int64_t seconds_of(std::string const& text) {
  std::tm parts{};
  char const* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
  if (!end) return 0;
  return static_cast<std::int64_t>(timegm(&parts));
}

std::string text_of(std::int64_t seconds) {
  std::time_t const t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (!gmtime_r(&t, &parts)) return "1970-01-01T00:00:00Z";
  char out[64];
  std::size_t const n = std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return std::string(out, n);
}

}  // namespace KVO_Core::utc_time
