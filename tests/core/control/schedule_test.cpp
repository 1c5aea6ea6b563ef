// The weekly window of an item and the transfer-rate pacing.
#include "core/config/Schedule.h"

#include <gtest/gtest.h>

#include <atomic>

#include "core/config/Config.h"
#include "core/control/Synchronize.h"
#include "core/run/TransferLimit.h"

namespace {

using KVO_Core::Schedule;

enum Day { Mon = 0, Tue, Wed, Thu, Fri, Sat, Sun };

int minute(int h, int m) { return h * 60 + m; }

Schedule window(std::uint16_t from, std::uint16_t until, std::uint8_t days) {
  Schedule s;
  s.limited = true;
  s.from = from;
  s.until = until;
  s.days = days;
  return s;
}

TEST(Schedule, WindowRules) {
  struct Row {
    char const* what;
    Schedule schedule;
    int day;
    int minute;
    bool allowed;
  };
  Schedule unlimited = window(480, 1020, 1);
  unlimited.limited = false;
  Row const rows[] = {
      {"unlimited ignores the fields", unlimited, Sun, minute(3, 0), true},
      {"office hours open", window(480, 1020, 31), Mon, minute(8, 0), true},
      {"office hours last minute", window(480, 1020, 31), Mon, minute(16, 59), true},
      {"office hours close exclusive", window(480, 1020, 31), Mon, minute(17, 0), false},
      {"office hours before", window(480, 1020, 31), Fri, minute(7, 59), false},
      {"office hours weekend", window(480, 1020, 31), Sat, minute(10, 0), false},
      {"from = until is the whole day", window(600, 600, 64), Sun, minute(0, 0), true},
      {"from = until is the whole day, late", window(600, 600, 64), Sun, minute(23, 59), true},
      {"from = until other day", window(600, 600, 64), Mon, minute(12, 0), false},
      {"over midnight evening", window(1320, 360, 16), Fri, minute(23, 0), true},
      {"over midnight next morning", window(1320, 360, 16), Sat, minute(5, 59), true},
      {"over midnight morning of the day itself", window(1320, 360, 16), Fri, minute(5, 0), false},
      {"over midnight closes", window(1320, 360, 16), Sat, minute(6, 0), false},
      {"over midnight next evening", window(1320, 360, 16), Sat, minute(23, 0), false},
      {"Monday morning belongs to Sunday", window(1320, 360, 64), Mon, minute(1, 0), true},
  };
  for (Row const& row : rows)
    EXPECT_EQ(row.schedule.allows(row.day, row.minute), row.allowed) << row.what;
}

TEST(Schedule, NormalizedAndDayBits) {
  Schedule s = window(1500, 1440, 0x80).normalized();
  EXPECT_EQ(s.from, 60);
  EXPECT_EQ(s.until, 0);
  EXPECT_EQ(s.days, 127);
  Schedule t = window(0, 0, 0);
  t.on(Wed, true);
  t.on(Sun, true);
  EXPECT_EQ(t.days, 4 | 64);
  t.on(Wed, false);
  t.on(7, true);  // no such day
  EXPECT_EQ(t.days, 64);
}

TEST(Schedule, TimePointUsesLocalTime) {
  // Whatever the local day, a window over every day and the whole day allows now, and one over
  // no minute of any other day does not.
  auto now = std::chrono::system_clock::now();
  EXPECT_TRUE(window(0, 0, 127).allows(now));
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  int const today = (local.tm_wday + 6) % 7;
  Schedule other = window(0, 0, static_cast<std::uint8_t>(127 & ~(1 << today)));
  EXPECT_FALSE(other.allows(now));
}

TEST(TransferLimit, TimeForIsExactWithoutOverflow) {
  using KVO_Core::transfer_limit::time_for;
  EXPECT_EQ(time_for(1000, 3), 333333u);  // 333 1/3 seconds
  EXPECT_EQ(time_for(1000, 0), 0u);
  EXPECT_EQ(time_for(102400, 102400), 1000u);
  EXPECT_EQ(time_for(~std::uint64_t{0}, ~std::uint64_t{0}), 1000u);
  EXPECT_EQ(time_for(~std::uint64_t{0}, 1000), ~std::uint64_t{0} / 1000 * 1000 + 615);
}

TEST(TransferLimit, RateFromSettingsAndPaceHonoursStop) {
  auto* config = KVO_Core::Config::instance();
  auto settings = config->settings.get();
  auto const saved = settings;
  settings.TransferLimitKB = 0;
  config->settings.set(settings);
  EXPECT_EQ(KVO_Core::transfer_limit::bytes_per_second(), 0u);
  KVO_Core::transfer_limit::pace(1 << 30);  // unlimited: returns at once

  settings.TransferLimitKB = 1;
  config->settings.set(settings);
  EXPECT_EQ(KVO_Core::transfer_limit::bytes_per_second(), 1024u);
  std::atomic<bool> stop{true};
  {
    KVO_Core::Synchronize::StopOverride override(stop);
    // 10 MB at 1 KiB/s would take hours; a raised stop flag ends the wait at once.
    KVO_Core::transfer_limit::pace(10'000'000);
    KVO_Core::transfer_limit::pace(20'000'000);
  }
  config->settings.set(saved);
}

}  // namespace
