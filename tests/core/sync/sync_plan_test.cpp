// The dry-run plan: its cap, counters and byte total, and the per-thread guard.
#include "core/sync/decide/SyncPlan.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using KVO_Core::PlannedAction;
using KVO_Core::PlannedStep;
using KVO_Core::SyncPlan;
using KVO_Core::SyncPlanGuard;

TEST(SyncPlan, ListsTenThousandStepsButCountsAndSumsAll) {
  SyncPlan plan;
  for (int i = 0; i < 10001; ++i)
    plan.add({L"i", PlannedAction::CopyToTarget, L"s", L"t", 2, false});
  plan.add({L"i", PlannedAction::DeleteTarget, L"s", L"t", 1000000, false});
  plan.add({L"i", PlannedAction::RenameInSource, L"s", L"t", 5, false});
  EXPECT_EQ(plan.steps.size(), SyncPlan::MAX_STEPS);
  EXPECT_EQ(plan.counts[0], 10001u);
  EXPECT_EQ(plan.counts[3], 1u);
  EXPECT_EQ(plan.count(), 10003u);
  EXPECT_EQ(plan.bytes, 20002u);
}

TEST(SyncPlan, GuardsNestAndBelongToTheirThread) {
  SyncPlan outer;
  EXPECT_FALSE(KVO_Core::planning());
  {
    SyncPlanGuard a(&outer);
    EXPECT_TRUE(KVO_Core::planning());
    {
      SyncPlanGuard off(nullptr);
      EXPECT_FALSE(KVO_Core::planning());
      KVO_Core::plan_step({L"i", PlannedAction::CopyToTarget, L"", L"", 1, false});
    }
    std::thread([] { EXPECT_FALSE(KVO_Core::planning()); }).join();
    KVO_Core::plan_step({L"i", PlannedAction::CopyToTarget, L"", L"", 1, false});
  }
  EXPECT_FALSE(KVO_Core::planning());
  KVO_Core::plan_step({L"i", PlannedAction::CopyToTarget, L"", L"", 1, false});
  EXPECT_EQ(outer.count(), 1u);
}

}  // namespace
