#include "core/control/CheckPath.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "core/config/Config.h"
#include "core/config/VolumeName.h"
#include "core/remote/RemoteOps.h"
#include "utilities/Logging.h"
#include "utilities/MountedDrives.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

using Utilities::LogLevel;
using Utilities::translation::translate;

bool has_status(std::filesystem::path const& p) {
  std::error_code ec;
  auto const st = std::filesystem::status(p, ec);
  return st.type() != std::filesystem::file_type::none &&
         st.type() != std::filesystem::file_type::not_found;
}

}  // namespace

std::uint16_t next_check_interval(std::uint16_t previous, bool unchanged, bool reachable) {
  if (!unchanged) return 2;
  unsigned const cap = reachable ? 3600 : 300;
  return static_cast<std::uint16_t>(std::min<unsigned>(previous * 2u, cap));
}

bool CheckPath::expired(DriveCheckCacheEntry const& entry, Clock::time_point now) {
  auto const elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - entry.probed_at);
  return elapsed.count() >= entry.interval;
}

bool CheckPath::operator()(std::wstring const& source, std::wstring const& target) {
  std::lock_guard lock(mutex_);
  auto const key = std::make_pair(source, target);
  auto it = cache_.find(key);
  if (it != cache_.end() && !expired(it->second, now_())) {
    Utilities::log_at(LogLevel::Debug, L"CheckPath: cached result for " + source + L"|" + target);
    return it->second.reachable;
  }
  bool const answer = both_sides_reachable(source, target);
  std::uint16_t const interval =
      it == cache_.end()
          ? std::uint16_t{2}
          : next_check_interval(it->second.interval, it->second.reachable == answer, answer);
  cache_[key] = DriveCheckCacheEntry{answer, last_refusal_, interval, now_()};
  return answer;
}

int CheckPath::refusal(std::wstring const& source, std::wstring const& target) {
  std::lock_guard lock(mutex_);
  auto it = cache_.find(std::make_pair(source, target));
  return it == cache_.end() ? 0 : it->second.refusal;
}

void CheckPath::forget(std::wstring const& source, std::wstring const& target) {
  std::lock_guard lock(mutex_);
  cache_.erase(std::make_pair(source, target));
}

bool CheckPath::both_sides_reachable(std::wstring const& source, std::wstring const& target) {
  last_refusal_ = 0;
  bool const source_ok = side_reachable(source, true);
  if (!source_ok) Utilities::log_at(LogLevel::Info, translate("source_dir_not_reachable") + source);
  if (!side_reachable(target, false)) {
    Utilities::log_at(LogLevel::Info, translate("target_dir_not_reachable") + target);
    return false;
  }
  return source_ok;
}

bool CheckPath::side_reachable(std::wstring const& path, bool must_exist) {
  if (ssh_account_of_path(path)) return ssh_path_reachable(path, must_exist);
  return path_exists(path, must_exist);
}

std::optional<std::pair<SshAccount, std::wstring>> CheckPath::ssh_account_of_path(
    std::wstring const& path) {
  std::size_t const colon = path.find(L':');
  if (colon == std::wstring::npos || colon == 0) return std::nullopt;
  auto account = Config::instance()->find_ssh_account_by_name(
      Utilities::util::wstring_to_string(path.substr(0, colon)));
  if (!account) return std::nullopt;
  return std::make_pair(*account, path.substr(colon + 1));
}

bool CheckPath::path_exists(std::wstring const& path, bool must_exist) {
  Utilities::log_at(LogLevel::Debug, "CheckPath::path_exists()");
  // Items written in the volume-name form would otherwise never be found.
  std::wstring const plain = without_volume_spec(path);
  std::filesystem::path const p = Utilities::to_path(plain);
  if (must_exist) return has_status(p);
  if (!Utilities::MountedDrives::instance().drive_mounted(p, plain)) return false;
  std::wstring trimmed = plain;
  while (trimmed.size() > 1 && trimmed.back() == L'/') trimmed.pop_back();
  std::filesystem::path const t = Utilities::to_path(trimmed);
  if (has_status(t)) return true;
  std::error_code ec;
  return std::filesystem::is_directory(t.parent_path(), ec);
}

bool CheckPath::ssh_path_reachable(std::wstring const& path, bool must_exist) {
  Utilities::log_at(LogLevel::Debug, L"ssh_path_reachable: " + path);
  auto const found = ssh_account_of_path(path);
  if (!found) {
    Utilities::log_at(LogLevel::Error, translate("ssh_account_not_found_for") + path);
    return false;
  }
  try {
    SshFileInspector inspector(found->first);
    if (!must_exist) return true;
    if (inspector.inspect_file(Utilities::util::wstring_to_string(found->second)).exists)
      return true;
    Utilities::log_at(LogLevel::Info, translate("ssh_path_not_exist") + path);
    return false;
  } catch (RemoteFailure const& e) {
    last_refusal_ = static_cast<int>(e.reason);
    Utilities::log_at(LogLevel::Info, translate("ssh_path_not_reachable") + path + L" - " +
                                          Utilities::util::string_to_wstring(e.what()));
  } catch (std::exception const& e) {
    Utilities::log_at(LogLevel::Info, translate("ssh_path_not_reachable") + path + L" - " +
                                          Utilities::util::string_to_wstring(e.what()));
  } catch (...) {
    Utilities::log_at(LogLevel::Info, translate("ssh_path_not_reachable") + path);
  }
  return false;
}

}  // namespace KVO_Core
