// When an item is due: after its cycle since the last sync, or, while its changes are watched,
// 2 s after the newest change and at the latest 600 s after the last sync.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace KVO_Core {

using SteadyTime = std::chrono::steady_clock::time_point;

// At least `cycle` seconds since last_sync (cycle 0: always); an item that never ran (last_sync
// at the clock's minimum) is due at once.
bool cycle_elapsed(SteadyTime last_sync, std::uint32_t cycle, SteadyTime now);
// A watched item: a change seen more than 2 s ago, or 600 s since the last sync.
bool watched_item_due(std::optional<SteadyTime> last_change, SteadyTime last_sync, SteadyTime now);

}  // namespace KVO_Core
