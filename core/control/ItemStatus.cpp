#include "core/control/ItemStatus.h"

#include "utilities/DurableWrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <stdexcept>
#include <system_error>

#include "utilities/FailureReasons.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core::item_status {
namespace {

using Utilities::LogLevel;
using Utilities::translation::translate;

// Status files are small; anything much larger is not one of ours.
constexpr std::uintmax_t MAX_FILE_SIZE = 64 * 1024;

std::wstring escaped(std::wstring const& value) {
  std::wstring out;
  out.reserve(value.size());
  for (wchar_t c : value) {
    if (c == L'\\')
      out += L"\\\\";
    else if (c == L'\n')
      out += L"\\n";
    else if (c == L'\r')
      out += L"\\r";
    else
      out += c;
  }
  return out;
}

std::wstring unescaped(std::wstring const& value) {
  std::wstring out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    wchar_t c = value[i];
    if (c != L'\\' || i + 1 == value.size()) {
      out += c;
      continue;
    }
    wchar_t next = value[++i];
    out += next == L'n' ? L'\n' : next == L'r' ? L'\r' : next;
  }
  return out;
}

std::wstring line(char const* key, std::wstring const& value) {
  return Utilities::util::string_to_wstring(key) + L"\t" + escaped(value) + L"\n";
}

std::wstring side_text(std::unique_ptr<SyncPath> const& side) { return side ? side->path() : L""; }

std::wstring seconds_text(TimePoint t) { return std::to_wstring(t.time_since_epoch().count()); }

std::int64_t signed_number(std::wstring const& text) {
  std::size_t used = 0;
  long long v = std::stoll(text, &used, 10);
  if (used != text.size()) throw std::invalid_argument("not a number");
  return v;
}

std::uint64_t unsigned_number(std::wstring const& text) {
  if (text.empty() || text[0] == L'-' || text[0] == L'+')
    throw std::invalid_argument("not a number");
  std::size_t used = 0;
  unsigned long long v = std::stoull(text, &used, 10);
  if (used != text.size()) throw std::invalid_argument("not a number");
  return v;
}

ItemStatus parse(std::wstring const& text) {
  std::wstring const header = Utilities::util::string_to_wstring(HEADER);
  if (text.size() < header.size() || text.compare(0, header.size(), header) != 0)
    throw std::runtime_error("not an item status");
  std::map<std::wstring, std::wstring> values;
  std::size_t pos = text.find(L'\n');
  while (pos != std::wstring::npos && pos + 1 < text.size()) {
    std::size_t const start = pos + 1;
    std::size_t const end = text.find(L'\n', start);
    std::wstring const row = text.substr(start, end == std::wstring::npos ? end : end - start);
    pos = end;
    std::size_t const tab = row.find(L'\t');
    if (tab == std::wstring::npos) continue;
    values[row.substr(0, tab)] = unescaped(row.substr(tab + 1));
  }
  auto get = [&](char const* key) -> std::wstring const& {
    auto it = values.find(Utilities::util::string_to_wstring(key));
    if (it == values.end()) throw std::runtime_error(std::string("missing ") + key);
    return it->second;
  };
  ItemStatus status;
  status.source = get(SOURCE_KEY);
  status.target = get(TARGET_KEY);
  status.last_pass = TimePoint(std::chrono::seconds(signed_number(get(LAST_PASS_KEY))));
  status.reachable = get(REACHABLE_KEY) == L"1";
  status.errors = unsigned_number(get(ERRORS_KEY));
  status.first_error = get(FIRST_ERROR_KEY);
  auto success = values.find(Utilities::util::string_to_wstring(LAST_SUCCESS_KEY));
  if (success != values.end())
    status.last_success = TimePoint(std::chrono::seconds(signed_number(success->second)));
  return status;
}

std::wstring age(TimePoint then, TimePoint now) {
  std::int64_t const d = (now - then).count();
  if (d < 60) return translate("age_now");
  if (d < 3600) return translate("age_minutes", {std::to_wstring(d / 60)});
  if (d < 172800) return translate("age_hours", {std::to_wstring(d / 3600)});
  return translate("age_days", {std::to_wstring(d / 86400)});
}

}  // namespace

TimePoint current_time() {
  return std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
}

std::filesystem::path directory() { return status_dir(); }

std::optional<ItemStatus> read(std::filesystem::path const& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec) || ec) return std::nullopt;
  try {
    std::uintmax_t const size = std::filesystem::file_size(path, ec);
    if (ec) throw std::system_error(ec);
    if (size > MAX_FILE_SIZE) throw std::runtime_error("not an item status");
    return parse(Utilities::FilesystemUtil::read_utf8_file(path));
  } catch (std::exception const& e) {
    Utilities::log_at(LogLevel::Info, std::string("item status ignored, it cannot be read: ") +
                                          path.string() + " (" + e.what() + ")");
  }
  return std::nullopt;
}

bool write(std::filesystem::path const& path, ItemStatus const& status) {
  try {
    std::filesystem::create_directories(path.parent_path());
    std::wstring text = Utilities::util::string_to_wstring(HEADER) + L"\n";
    text += line(SOURCE_KEY, status.source);
    text += line(TARGET_KEY, status.target);
    text += line(LAST_PASS_KEY, seconds_text(status.last_pass));
    text += line(REACHABLE_KEY, status.reachable ? L"1" : L"0");
    text += line(ERRORS_KEY, std::to_wstring(status.errors));
    text += line(FIRST_ERROR_KEY, status.first_error);
    if (status.last_success) text += line(LAST_SUCCESS_KEY, seconds_text(*status.last_success));
    Utilities::FilesystemUtil::replace_file_durably(path, Utilities::util::wstring_to_string(text));
  } catch (std::exception const& e) {
    Utilities::log_at(LogLevel::Info, std::string("item status not written: ") + path.string() +
                                          " (" + e.what() + ")");
    return false;
  }
  return true;
}

std::optional<ItemStatus> of(SyncItem const& item) {
  auto status = read(file_path(item));
  if (!status || status->source != side_text(item.source()) ||
      status->target != side_text(item.target()))
    return std::nullopt;
  return status;
}

void record(SyncItem const& item, LastRun const& run, TimePoint now) {
  std::optional<ItemStatus> const previous = of(item);
  ItemStatus status;
  status.source = side_text(item.source());
  status.target = side_text(item.target());
  status.last_pass = now;
  if (previous) status.last_success = previous->last_success;
  status.reachable = run.reachable;
  status.errors = run.errors;
  status.first_error = run.first_error.substr(0, FIRST_ERROR_LIMIT);
  if (run.reachable && run.errors == 0) status.last_success = now;
  bool const needed = !previous || previous->reachable != status.reachable ||
                      previous->errors != status.errors ||
                      previous->first_error != status.first_error ||
                      now - previous->last_pass >= std::chrono::seconds(60) ||
                      // a clock stepped backwards must not hold the refresh off until it catches up
                      now < previous->last_pass;
  if (needed) write(file_path(item), status);
}

StatusKind kind(SyncItem const& item, std::optional<ItemStatus> const& status) {
  if (!item.flags.enabled) return StatusKind::inactive;
  if (!status) return StatusKind::never;
  if (!status->reachable) return StatusKind::unreachable;
  return status->errors == 0 ? StatusKind::ok : StatusKind::errors;
}

bool problem(StatusKind kind) {
  return kind == StatusKind::unreachable || kind == StatusKind::errors;
}

std::wstring text(SyncItem const& item, std::optional<ItemStatus> const& status, TimePoint now) {
  switch (kind(item, status)) {
    case StatusKind::inactive:
      return translate("inactive");
    case StatusKind::never:
      return translate("item_status_never");
    case StatusKind::ok:
      return translate("item_status_ok", {age(status->last_pass, now)});
    case StatusKind::errors:
      if (status->last_success)
        return translate("item_status_errors",
                         {std::to_wstring(status->errors), age(*status->last_success, now),
                          status->first_error});
      return translate("item_status_errors_never",
                       {std::to_wstring(status->errors), status->first_error});
    case StatusKind::unreachable:
      if (status->last_success)
        return translate("item_status_unreachable", {age(*status->last_success, now)});
      return translate("item_status_unreachable_never");
  }
  return {};
}

}  // namespace KVO_Core::item_status
