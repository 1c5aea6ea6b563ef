// The weekly time window of a sync item. A plain value; the controller decides with it whether
// an item may run now.
#pragma once

#include <chrono>
#include <cstdint>

namespace KVO_Core {

struct Schedule {
  bool limited = false;     // false: the item may run at any time
  std::uint16_t from = 0;   // minute of the day at which the window opens
  std::uint16_t until = 0;  // minute of the day at which it closes
  std::uint8_t days = 127;  // bit 0 Monday .. bit 6 Sunday

  // A copy with from and until modulo 1440 and days masked to the low seven bits, where 0
  // becomes 127; limited unchanged. Cannot fail.
  Schedule normalized() const;
  // Whether the window allows the moment (local time). Always true when not limited.
  bool allows(std::chrono::system_clock::time_point when) const;
  // The same for a weekday (0 Monday .. 6 Sunday) and a minute of the day.
  bool allows(int day, int minute) const;
  // Sets (on) or clears the bit of the weekday (0 Monday .. 6 Sunday); other days do nothing.
  void on(int day, bool on);

  friend bool operator==(Schedule const&, Schedule const&) = default;
};

}  // namespace KVO_Core
