#include "core/run/SyncReport.h"

#include "utilities/Translation.h"

namespace KVO_Core {

namespace {

constexpr std::size_t MAX_LINES = 100;

using Utilities::translation::translate;

}  // namespace

void SyncReport::error(std::wstring const& line) {
  if (errors.size() < MAX_LINES)
    errors.push_back(line);
  else if (errors.size() == MAX_LINES)
    errors.push_back(translate("error_list_capped"));
}

void SyncReport::abandon(std::wstring const& text) {
  if (abandoned) return;
  abandoned = true;
  error(text + L" " + translate("remaining_files_skipped"));
}

void SyncReport::shortage(std::wstring const& path, std::uint64_t needed, std::uint64_t free,
                          Utilities::FilesystemUtil::FileInfoResult reason) {
  if (shortage_count == 0) {
    shortage_reason = Utilities::FilesystemUtil::make_error_message(reason) + L": ";
    shortage_count = 1;
    shortage_bytes = needed;
    shortage_path = path;
    if (errors.size() < MAX_LINES) shortage_line = errors.size();
    error(shortage_reason + path + L" (" +
          translate("disk_full_needs", {megabytes(needed), megabytes(free)}) + L")");
    return;
  }
  ++shortage_count;
  shortage_bytes += needed;
  if (shortage_line)
    errors[*shortage_line] =
        shortage_reason + translate("disk_full_files", {std::to_wstring(shortage_count),
                                                        megabytes(shortage_bytes), shortage_path});
}

void SyncReport::hint(char const* message_id, std::wstring const& example) {
  Hint& entry = hints[message_id];
  if (entry.count++ == 0) entry.example = example;
}

std::vector<std::wstring> SyncReport::hint_lines() const {
  std::vector<std::wstring> lines;
  for (auto const& [id, entry] : hints)
    lines.push_back(translate(id.c_str()) + L" " + std::to_wstring(entry.count) + L" (" +
                    entry.example + L")");
  return lines;
}

FailureReach reach_of(Utilities::FilesystemUtil::FileInfoResult reason) {
  using Result = Utilities::FilesystemUtil::FileInfoResult;
  switch (reason) {
    case Result::disk_full:
    case Result::remote_storage_full:
      return FailureReach::Space;
    case Result::filesystem_read_only:
    case Result::server_connect_failed:
    case Result::network_unavailable:
    case Result::connection_timeout:
    case Result::server_unavailable:
    case Result::authentication_failed:
    case Result::access_token_expired:
    case Result::server_not_trusted:
      return FailureReach::Place;
    case Result::links_not_supported:
    case Result::unsupported_operation:
      return FailureReach::Capability;
    default:
      return FailureReach::FileOnly;
  }
}

std::wstring megabytes(std::uint64_t bytes) {
  // Integer rounding keeps the decimal point independent of the locale.
  std::uint64_t const tenths = bytes / 100000 + (bytes % 100000 >= 50000 ? 1 : 0);
  return std::to_wstring(tenths / 10) + L"." + std::to_wstring(tenths % 10) + L" MB";
}

SyncReport* current_report() { return SyncReportGuard::current(); }

void report_sync_error(std::wstring const& line) {
  if (SyncReport* current = current_report()) current->error(line);
}

void report_sync_refusal(std::wstring const& text,
                         Utilities::FilesystemUtil::FileInfoResult reason) {
  SyncReport* current = current_report();
  if (!current) return;
  if (reach_of(reason) == FailureReach::Place)
    current->abandon(text);
  else
    current->error(text);
}

void report_sync_shortage(std::wstring const& path, std::uint64_t needed, std::uint64_t free,
                          Utilities::FilesystemUtil::FileInfoResult reason) {
  if (SyncReport* current = current_report()) current->shortage(path, needed, free, reason);
}

void report_sync_hint(char const* message_id, std::wstring const& example) {
  if (SyncReport* current = current_report()) current->hint(message_id, example);
}

void report_sync_volume(std::uint64_t bytes) {
  if (SyncReport* current = current_report()) current->copied_bytes += bytes;
}

bool sync_abandoned() {
  SyncReport const* current = current_report();
  return current && current->abandoned;
}

}  // namespace KVO_Core
