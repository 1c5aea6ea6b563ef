// Expiry of recycle-bin items older than the setting RecycleBinDays.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace KVO_Core::bin_cleanup {

// Lets one expiry pass through at its first take and then at most once an hour, whichever thread
// asks; the time is taken before the pass, so a pass that fails still counts.
class ExpiryGate {
 public:
  bool take(std::chrono::steady_clock::time_point now);

 private:
  std::atomic<std::chrono::steady_clock::time_point> last_run_{};
};

// For the controller's worker after every synchronising pass: in RecycleBin mode with
// RecycleBinDays above 0, expires the bin at once the first time, then at most hourly; logs
// "recycle_bin_expired" when it removed anything.
void run_if_due();
// The same with the process's gate and the clocks given.
void run_if_due(std::chrono::steady_clock::time_point steady_now,
                std::chrono::system_clock::time_point now);
// The same with a gate of the caller's (for tests).
void run_if_due(ExpiryGate& gate, std::chrono::steady_clock::time_point steady_now,
                std::chrono::system_clock::time_point now);

// Removes every stamped bin item at least days old at now (emptied folders go too, never the
// root); unstamped items never expire. Returns the count removed.
std::size_t remove_older_than(std::uint16_t days, std::chrono::system_clock::time_point now);

}  // namespace KVO_Core::bin_cleanup
