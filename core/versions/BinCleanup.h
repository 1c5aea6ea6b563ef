// Expiry of recycle-bin items older than the setting RecycleBinDays.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace KVO_Core::bin_cleanup {

// For the controller's worker after every synchronising pass: in RecycleBin mode with
// RecycleBinDays above 0, expires the bin at once the first time, then at most hourly.
void run_if_due();
// The same with the steady and system clocks given (for tests).
void run_if_due(std::chrono::steady_clock::time_point steady_now,
                std::chrono::system_clock::time_point now);

// Removes every stamped bin item at least days old at now (emptied folders go too, never the
// root); unstamped items never expire. Returns the count removed.
std::size_t remove_older_than(std::uint16_t days, std::chrono::system_clock::time_point now);

}  // namespace KVO_Core::bin_cleanup
