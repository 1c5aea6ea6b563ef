// The mass-deletion guard through real passes: the rule's edges, one report per lasting
// refusal, queued folder removals dropped with a refused batch, and the dry run that only plans.
#include "core/sync/decide/SyncPlan.h"
#include "core/sync/walk/SyncDir.h"
#include "dirs_fixture.h"

namespace {

using namespace dirs_test;
using Utilities::LogLevel;

TEST(MassDeletionRule, EdgesInUnsigned64Bits) {
  struct Row {
    std::uint64_t n, total;
    bool mass;
  };
  for (Row const row : std::vector<Row>{{9, 9, false},
                                        {10, 20, false},
                                        {11, 20, true},
                                        {10, 19, true},
                                        {10, 10, true},
                                        {10, 100, false},
                                        {UINT64_MAX / 100, UINT64_MAX / 50, false}})
    EXPECT_EQ(KVO_Core::mass_deletion(row.n, row.total), row.mass) << row.n << " of " << row.total;
}

class Guard : public DirItem {
 protected:
  // A two-way item with `total` files in step, then `deleted` of them removed in the source.
  KVO_Core::SyncItem synced_then_deleted(int total, int deleted) {
    KVO_Core::SyncFlags flags;
    flags.twoWaySync = true;
    for (int i = 0; i < total; ++i) put(src / ("f" + std::to_string(i)), "x", 0);
    auto const it = item(flags);
    run(it);
    EXPECT_EQ(files_in(dst).size(), static_cast<std::size_t>(total));
    for (int i = 0; i < deleted; ++i) fs::remove(src / ("f" + std::to_string(i)));
    return it;
  }
};

struct Case {
  int total, deleted;
  bool refused;
};

class GuardCases : public Guard, public testing::WithParamInterface<Case> {};

TEST_P(GuardCases, RefusesOnlyAMassDeletion) {
  auto const [total, deleted, refused] = GetParam();
  auto const it = synced_then_deleted(total, deleted);
  LogLines log;
  run(it);
  std::size_t const left = static_cast<std::size_t>(refused ? total : total - deleted);
  EXPECT_EQ(files_in(dst).size(), left);
  EXPECT_EQ(log.count(LogLevel::Error, "mass_deletion_refused"), refused ? 1u : 0u);
  EXPECT_EQ(report.errors.size(), refused ? 1u : 0u);
  EXPECT_EQ(state_keys().size(), left);
}

INSTANTIATE_TEST_SUITE_P(Edges, GuardCases,
                         testing::Values(Case{10, 9, false}, Case{20, 10, false},
                                         Case{20, 11, true}));

TEST_F(Guard, NineOfNineTargetOnlyFilesAreDeleted) {
  KVO_Core::SyncFlags flags;
  flags.syncDeletions = true;
  for (int i = 0; i < 9; ++i) put(dst / ("t" + std::to_string(i)), "x", 0);
  run(item(flags));
  EXPECT_TRUE(files_in(dst).empty());
  EXPECT_TRUE(report.errors.empty());
}

// Logged and noted once while it lasts, but every refusing run counts it as its error: a run
// that leaves the deletions undone is no success.
TEST_F(Guard, TenAgainstAnEmptyStateAreRefusedLoggedOnceAndAnErrorOfEveryRun) {
  KVO_Core::SyncFlags flags;
  flags.syncDeletions = true;
  flags.trackMoves = true;  // a lasting state that starts empty
  for (int i = 0; i < 10; ++i) put(dst / ("t" + std::to_string(i)), "x", 0);
  LogLines log;
  RecordingSink sink;
  for (int pass = 0; pass < 3; ++pass) {
    run(item(flags));
    ASSERT_EQ(report.errors.size(), 1u) << "pass " << pass;
    EXPECT_NE(report.errors[0].find(L"mass_deletion_refused"), std::wstring::npos);
  }
  EXPECT_EQ(files_in(dst).size(), 10u);
  EXPECT_EQ(log.count(LogLevel::Error, "mass_deletion_refused"), 1u);
  ASSERT_EQ(sink.notes.size(), 1u);
  EXPECT_EQ(sink.notes[0].first, LogLevel::Error);

  // A dry run that meets the rule plans, notes and clears the mark: the next refusal is
  // reported again.
  KVO_Core::SyncPlan plan;
  {
    KVO_Core::SyncPlanGuard guard(&plan);
    run(item(flags), KVO_Core::SyncType::Preview);
  }
  EXPECT_EQ(plan.counts[static_cast<int>(KVO_Core::PlannedAction::DeleteTarget)], 10u);
  EXPECT_EQ(log.count(LogLevel::Warning, "mass_deletion_planned"), 1u);
  EXPECT_EQ(files_in(dst).size(), 10u);
  run(item(flags));
  EXPECT_EQ(log.count(LogLevel::Error, "mass_deletion_refused"), 2u);
}

TEST_F(Guard, RefusedBatchAlsoKeepsTheQueuedFolders) {
  KVO_Core::SyncFlags flags;
  flags.syncDeletions = true;
  for (int i = 0; i < 10; ++i) put(dst / ("t" + std::to_string(i)), "x", 0);
  fs::create_directories(dst / "emptied");
  KVO_Core::SyncState state(w(src), w(dst));
  state.deletions_only = true;
  auto const it = item(flags);
  KVO_Core::SyncDir job(it, count, false, &state);
  state.defer(KVO_Core::PendingDirRemoval{w(dst / "emptied"), false});
  {
    KVO_Core::SyncReportGuard guard(&report);
    job();
  }
  EXPECT_TRUE(fs::exists(dst / "emptied"));
  EXPECT_EQ(files_in(dst).size(), 10u);
  EXPECT_TRUE(state.dir_removals.empty());
  EXPECT_TRUE(state.deletions.empty());
}

}  // namespace
