// The transfer-rate limit: the setting TransferLimitKB as a byte rate, and the pacing that copy
// loops call after each block so that one thread's copy does not exceed it.
#pragma once

#include <cstdint>

namespace KVO_Core::transfer_limit {

// TransferLimitKB x 1024, read from the settings at every call; 0 means unlimited.
std::uint64_t bytes_per_second();
// Milliseconds that `bytes` take at `rate` bytes per second, exact without overflow; 0 for rate 0.
std::uint64_t time_for(std::uint64_t bytes, std::uint64_t rate);
// Blocks the calling thread as long as the rate requires, given the bytes copied so far in the
// current copy (a smaller total than last time starts a new copy). Sleeps in slices of at most
// 100 ms and returns at once when the run is stopping. Pacing state is per thread.
void pace(std::uint64_t total);

}  // namespace KVO_Core::transfer_limit
