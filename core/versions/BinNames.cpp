#include "core/versions/BinNames.h"

#include <ctime>

#include "utilities/FileNames.h"

namespace KVO_Core::restore {

namespace {

constexpr std::size_t STAMP_LENGTH = 24;  // "YYYY-MM-DD_hh-mm-ss-mmm_"

int number(std::string const& text, std::size_t from, std::size_t count) {
  int value = 0;
  for (std::size_t i = from; i < from + count; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

// The rest must not break a line: LF, CR, U+2028 and U+2029 (E2 80 A8 / E2 80 A9 in UTF-8).
bool breaks_line(std::string const& rest) {
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '\n' || rest[i] == '\r') return true;
    if (static_cast<unsigned char>(rest[i]) == 0xE2 && i + 2 < rest.size() &&
        static_cast<unsigned char>(rest[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(rest[i + 2]) == 0xA8 ||
         static_cast<unsigned char>(rest[i + 2]) == 0xA9))
      return true;
  }
  return false;
}

}  // namespace

std::filesystem::path stamped_name(std::filesystem::path const& file,
                                   std::chrono::system_clock::time_point when) {
  auto relative = file.lexically_normal().relative_path();
  if (!relative.empty() && !relative.has_filename()) relative = relative.parent_path();
  return Utilities::file_name::with_timestamp_prefix(relative, when);
}

std::optional<std::pair<Microseconds, std::string>> stamped(std::string const& name) {
  static constexpr char TEMPLATE[] = "DDDD-DD-DD_DD-DD-DD-DDD_";  // D: an ASCII digit
  if (name.size() <= STAMP_LENGTH) return std::nullopt;
  for (std::size_t i = 0; i < STAMP_LENGTH; ++i) {
    bool fits = TEMPLATE[i] == 'D' ? name[i] >= '0' && name[i] <= '9' : name[i] == TEMPLATE[i];
    if (!fits) return std::nullopt;
  }
  auto rest = name.substr(STAMP_LENGTH);
  if (breaks_line(rest)) return std::nullopt;

  std::tm broken{};
  broken.tm_year = number(name, 0, 4) - 1900;
  broken.tm_mon = number(name, 5, 2) - 1;
  broken.tm_mday = number(name, 8, 2);
  broken.tm_hour = number(name, 11, 2);
  broken.tm_min = number(name, 14, 2);
  broken.tm_sec = number(name, 17, 2);
  broken.tm_isdst = -1;
  std::time_t seconds = std::mktime(&broken);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  auto when = std::chrono::time_point_cast<std::chrono::microseconds>(
                  std::chrono::system_clock::from_time_t(seconds)) +
              std::chrono::milliseconds(number(name, 20, 3));
  return std::make_pair(when, rest);
}

std::optional<std::pair<Microseconds, std::string>> stamped_origin(
    std::filesystem::path const& item, std::filesystem::path& origin) {
  if (auto reading = stamped(item.filename().native())) {
    origin = item.parent_path() / reading->second;
    return reading;
  }
  std::optional<std::pair<Microseconds, std::string>> found;
  std::filesystem::path rebuilt;
  for (auto const& element : item) {
    if (!found) {
      if (auto reading = stamped(element.native())) {
        rebuilt /= reading->second;
        found = reading;
        continue;
      }
    }
    rebuilt /= element;
  }
  origin = found ? rebuilt : item;
  return found;
}

std::optional<Microseconds> deleted_at(std::filesystem::path const& item) {
  std::filesystem::path scratch;
  if (auto reading = stamped_origin(item, scratch)) return reading->first;
  return std::nullopt;
}

}  // namespace KVO_Core::restore
