#include "core/config/Schedule.h"

namespace KVO_Core {

Schedule Schedule::normalized() const {
  Schedule result = *this;
  result.from = static_cast<std::uint16_t>(from % 1440);
  result.until = static_cast<std::uint16_t>(until % 1440);
  result.days = static_cast<std::uint8_t>(days & 0x7f);
  if (result.days == 0) result.days = 127;
  return result;
}

}  // namespace KVO_Core
