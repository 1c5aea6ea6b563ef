// The transfer-rate pacing that the copy loops call after each chunk.
#include "core/run/TransferLimit.h"

#include <gtest/gtest.h>

#include <atomic>

#include "core/config/Config.h"
#include "core/run/RunContext.h"

namespace {

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
    KVO_Core::RunContext::StopOverride override(stop);
    // 10 MB at 1 KiB/s would take hours; a raised stop flag ends the wait at once.
    KVO_Core::transfer_limit::pace(10'000'000);
    KVO_Core::transfer_limit::pace(20'000'000);
  }
  config->settings.set(saved);
}

}  // namespace
