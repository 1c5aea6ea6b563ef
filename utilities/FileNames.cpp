#include "utilities/FileNames.h"

#include <cstdio>
#include <ctime>
#include <cwchar>
#include <string_view>

namespace Utilities::file_name {

namespace {

// The local broken-down time; UTC when the local one cannot be had, zero as the last resort.
std::tm local_tm(std::time_t seconds) {
  std::tm broken{};
  if (!localtime_r(&seconds, &broken) && !gmtime_r(&seconds, &broken)) broken = std::tm{};
  return broken;
}

std::wstring formatted(std::tm const& broken, wchar_t const* pattern) {
  wchar_t buffer[64];
  std::size_t const length = std::wcsftime(buffer, std::size(buffer), pattern, &broken);
  return std::wstring(buffer, length);
}

}  // namespace

std::filesystem::path with_timestamp_prefix(std::filesystem::path const& path,
                                            std::chrono::system_clock::time_point time) {
  if (!path.has_filename()) return path;
  auto const whole = std::chrono::floor<std::chrono::seconds>(time);
  auto const micros = std::chrono::floor<std::chrono::microseconds>(time - whole).count();
  std::tm const broken = local_tm(static_cast<std::time_t>(whole.time_since_epoch().count()));
  char stamp[64];
  std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &broken);
  char millis[8];
  std::snprintf(millis, sizeof millis, "-%03d_", static_cast<int>(micros / 1000));
  // The prefix is ASCII, so the name's own bytes are kept exactly as they are.
  std::string name = std::string(stamp, length) + millis + path.filename().native();
  return path.parent_path() / name;
}

std::wstring local_date() { return formatted(local_tm(std::time(nullptr)), L"%Y-%m-%d"); }

std::wstring sanitized(std::wstring const& name) {
  static constexpr std::wstring_view FORBIDDEN = L"<>:\"/\\|?*";
  std::wstring out = name;
  for (wchar_t& c : out)
    if (c < 32 || FORBIDDEN.find(c) != std::wstring_view::npos) c = L'_';
  while (!out.empty() && (out.back() == L' ' || out.back() == L'.')) out.pop_back();
  return out;
}

}  // namespace Utilities::file_name
