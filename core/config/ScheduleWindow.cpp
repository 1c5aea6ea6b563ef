#include <ctime>

#include "core/config/Schedule.h"

namespace KVO_Core {
namespace {

bool day_set(std::uint8_t days, int day) { return (days >> day) & 1; }

}  // namespace

bool Schedule::allows(std::chrono::system_clock::time_point when) const {
  if (!limited) return true;
  std::time_t const t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  if (!localtime_r(&t, &local)) return true;  // no local time known: do not block the item
  return allows((local.tm_wday + 6) % 7, local.tm_hour * 60 + local.tm_min);
}

bool Schedule::allows(int day, int minute) const {
  if (!limited) return true;
  if (day < 0 || day > 6) return false;
  if (until >= from)
    return day_set(days, day) && (from == until || (from <= minute && minute < until));
  if (minute >= from) return day_set(days, day);
  if (minute < until) return day_set(days, (day + 6) % 7);
  return false;
}

void Schedule::on(int day, bool on) {
  if (day < 0 || day > 6) return;
  auto const bit = static_cast<std::uint8_t>(1u << day);
  days = static_cast<std::uint8_t>(on ? (days | bit) : (days & ~bit));
}

}  // namespace KVO_Core
