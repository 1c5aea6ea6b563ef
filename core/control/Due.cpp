#include "core/control/Due.h"

namespace KVO_Core {

bool cycle_elapsed(SteadyTime last_sync, std::uint32_t cycle, SteadyTime now) {
  // Subtracting from the clock's minimum would overflow.
  if (last_sync == SteadyTime::min() || now < last_sync) return true;
  return now - last_sync >= std::chrono::seconds(cycle);
}

bool watched_item_due(std::optional<SteadyTime> last_change, SteadyTime last_sync, SteadyTime now) {
  if (last_change && now > *last_change &&
      now - *last_change > std::chrono::nanoseconds(1'999'999'999))
    return true;
  return cycle_elapsed(last_sync, 600, now);
}

}  // namespace KVO_Core
