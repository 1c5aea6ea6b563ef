#include "core/sync/transfer/FileTimes.h"

#include <thread>

#include "core/run/RunContext.h"
#include "core/run/SyncReport.h"
#include "core/sync/Refusals.h"
#include "core/sync/SyncFile.h"
#include "core/sync/transfer/FileSystemTraits.h"
#include "utilities/FileTime.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace fsu = Utilities::FilesystemUtil;
using Utilities::LogLevel;
using Utilities::util::to_string;

namespace {

constexpr int SET_ATTEMPTS = 10;
constexpr int READ_CHECKS = 101;
constexpr int CHECKS_BEFORE_RENEWAL = 10;
constexpr std::chrono::milliseconds PAUSE{100};

bool reads_back(std::filesystem::file_time_type const& read,
                std::filesystem::file_time_type const& wanted, std::chrono::nanoseconds step) {
  if (Utilities::file_time::equal(read, wanted)) return true;
  if (step <= std::chrono::nanoseconds(1)) return false;
  auto const difference = read > wanted ? read - wanted : wanted - read;
  return difference < step;
}

}  // namespace

TimeAccess const& system_time_access() {
  static TimeAccess const access{
      [](std::filesystem::path const& path, std::filesystem::file_time_type const& time) {
        return fsu::write_time_refusal(Utilities::from_path(path), time);
      },
      [](std::filesystem::path const& path, std::error_code& error) {
        return std::filesystem::last_write_time(path, error);
      },
      [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); },
      [](std::filesystem::path const& path) { return fs_traits::time_granularity(path); }};
  return access;
}

fsu::FileInfoResult set_last_write_time(std::filesystem::path const& path,
                                        std::filesystem::file_time_type const& time, bool wait,
                                        TimeAccess const& access) {
  std::wstring const name = Utilities::from_path(path);
  Utilities::log_at(LogLevel::Debug, L"set_last_write_time " + name + L" filetime: " +
                                         Utilities::util::string_to_wstring(to_string(time)));
  for (int attempt = 1;; ++attempt) {
    fsu::FileInfoResult const reason = access.write(path, time);
    if (reason == 0) break;
    if (RunContext::stopping()) return fsu::no_failure;
    Utilities::log_at(LogLevel::Debug, L"set_last_write_time: " + fsu::make_error_message(reason));
    if (reason == fsu::filesystem_read_only || reason == fsu::unsupported_operation) return reason;
    access.pause(PAUSE);
    if (attempt == SET_ATTEMPTS) return reason;
  }
  if (wait) wait_for_updated_filetime(path, time, access);
  return fsu::no_failure;
}

void wait_for_updated_filetime(std::filesystem::path const& path,
                               std::filesystem::file_time_type const& time,
                               TimeAccess const& access) {
  std::wstring const name = Utilities::from_path(path);
  std::wstring const wanted = Utilities::util::string_to_wstring(to_string(time));
  Utilities::log_at(LogLevel::Debug,
                    L"wait_for_updated_filetime " + name + L" filetime: " + wanted);
  std::chrono::nanoseconds const step = access.granularity(path);
  int failed = 0;
  for (int check = 1; check <= READ_CHECKS; ++check) {
    std::error_code error;
    auto const read = access.read(path, error);
    if (!error && reads_back(read, time, step)) {
      Utilities::log_at(LogLevel::Debug, "endof wait_for_updated_filetime");
      return;
    }
    if (RunContext::stopping()) return;
    Utilities::log_at(LogLevel::Debug, L"act write time: " +
                                           Utilities::util::string_to_wstring(to_string(read)) +
                                           L" == " + wanted);
    access.pause(PAUSE);
    Utilities::log_at(LogLevel::Debug, L"2: " + std::to_wstring(error.value()) + L"  " +
                                           std::to_wstring(failed + 1) + L"  " +
                                           std::to_wstring(check));
    if (failed == CHECKS_BEFORE_RENEWAL) {
      set_last_write_time(path, time, false, access);
      Utilities::log_at(LogLevel::Info, L"wait_for_updated_filetime: " + std::to_wstring(check));
      failed = 0;
    } else {
      ++failed;
    }
  }
  Utilities::log_at(LogLevel::Debug, "give up wait_for_updated_filetime.");
}

bool SyncFile::time_refused(std::wstring const& path, fsu::FileInfoResult reason) {
  if (reason == 0) return false;
  time_unkept.insert(path);
  std::wstring const text = Utilities::translation::translate("file_time_not_settable") + path +
                            L" (" + fsu::make_error_message(reason) + L")";
  if (reason == fsu::unsupported_operation) {
    Utilities::log_at(LogLevel::Info, text);
    report_sync_hint("file_times_not_supported", path);
    return true;
  }
  report_refusal(text, reason);
  return true;
}

}  // namespace KVO_Core
