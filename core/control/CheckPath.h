// Whether both sides of an item can be reached, cached per pair of paths. The recheck interval
// starts at 2 s and doubles while the answer stays the same, up to 300 s for an unreachable pair
// and 3600 s for a reachable one; a changed answer starts again at 2 s. The reason of a remote
// failure caught while probing is kept with the answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "core/config/Accounts.h"

namespace KVO_Core {

// unchanged ? min(previous x 2, reachable ? 3600 : 300) : 2.
std::uint16_t next_check_interval(std::uint16_t previous, bool unchanged, bool reachable);

class CheckPath {
 public:
  using Clock = std::chrono::steady_clock;

  struct DriveCheckCacheEntry {
    bool reachable = false;
    int refusal = 0;
    std::uint16_t interval = 2;
    Clock::time_point probed_at;
  };

  // Both sides reachable; from the cache while the pair's entry has not expired.
  bool operator()(std::wstring const& source, std::wstring const& target);
  // The failure reason kept with the pair's answer; 0 when there is none or no entry.
  int refusal(std::wstring const& source, std::wstring const& target);
  // Drops the pair's answer: the next call probes afresh.
  void forget(std::wstring const& source, std::wstring const& target);

  // Whole seconds since the probe are at least the interval.
  static bool expired(DriveCheckCacheEntry const& entry, Clock::time_point now);
  // A local source must exist; a local target's volume must be mounted and the target or its
  // parent folder must exist. Local paths are taken without their volume spec.
  static bool path_exists(std::wstring const& path, bool must_exist);
  // The account named before the path's first colon (not at index 0), and the remote path.
  static std::optional<std::pair<SshAccount, std::wstring>> ssh_account_of_path(
      std::wstring const& path);

  // Replaces "now" (tests).
  void set_clock(Clock::time_point (*now)()) { now_ = now; }

 private:
  bool both_sides_reachable(std::wstring const& source, std::wstring const& target);
  bool side_reachable(std::wstring const& path, bool must_exist);
  bool ssh_path_reachable(std::wstring const& path, bool must_exist);

  std::mutex mutex_;
  int last_refusal_ = 0;
  std::map<std::pair<std::wstring, std::wstring>, DriveCheckCacheEntry> cache_;
  Clock::time_point (*now_)() = &Clock::now;
};

}  // namespace KVO_Core
