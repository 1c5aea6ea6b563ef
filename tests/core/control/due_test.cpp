// When an item is due.
#include "core/control/Due.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using KVO_Core::cycle_elapsed;
using KVO_Core::SteadyTime;
using KVO_Core::watched_item_due;

TEST(DueRule, CycleSinceLastSync) {
  SteadyTime const now = SteadyTime() + 100000s;
  struct Row {
    char const* what;
    SteadyTime last_sync;
    std::uint32_t cycle;
    bool due;
  };
  Row const rows[] = {
      {"never ran: due at once, even with the longest cycle", SteadyTime::min(), 65535, true},
      {"cycle 0: every pass", now, 0, true},
      {"cycle not over", now - 59s, 60, false},
      {"cycle just over", now - 60s, 60, true},
      {"one-second cycle", now - 1s, 1, true},
      {"half a second into a one-second cycle", now - 500ms, 1, false},
  };
  for (Row const& row : rows)
    EXPECT_EQ(cycle_elapsed(row.last_sync, row.cycle, now), row.due) << row.what;
}

TEST(DueRule, WatchedItems) {
  SteadyTime const now = SteadyTime() + 100000s;
  SteadyTime const synced = now - 10s;
  EXPECT_FALSE(watched_item_due(std::nullopt, synced, now)) << "no change, synced recently";
  EXPECT_FALSE(watched_item_due(now - 1999999999ns, synced, now)) << "not yet 2 s";
  EXPECT_TRUE(watched_item_due(now - 2s, synced, now));
  EXPECT_FALSE(watched_item_due(now - 1s, synced, now)) << "a newer change postpones";
  EXPECT_TRUE(watched_item_due(std::nullopt, now - 600s, now)) << "600 s after the last sync";
  EXPECT_FALSE(watched_item_due(std::nullopt, now - 599s, now));
  EXPECT_TRUE(watched_item_due(std::nullopt, SteadyTime::min(), now)) << "first pass";
}

}  // namespace
