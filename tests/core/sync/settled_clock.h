// While one lives, files the test writes count as long settled: the settled pairs' clock runs
// ahead by more than the settling time.
#pragma once

#include <chrono>

#include "core/sync/decide/SettledPairs.h"

struct SettledClockAhead {
  SettledClockAhead() {
    using KVO_Core::SettledPairs;
    SettledPairs::instance().set_clock([] {
      return SettledPairs::Clock::now() + SettledPairs::SETTLE_TIME + std::chrono::seconds(60);
    });
  }
  ~SettledClockAhead() {
    KVO_Core::SettledPairs::instance().set_clock(KVO_Core::SettledPairs::Clock::now);
  }
  SettledClockAhead(SettledClockAhead const&) = delete;
  SettledClockAhead& operator=(SettledClockAhead const&) = delete;
};
