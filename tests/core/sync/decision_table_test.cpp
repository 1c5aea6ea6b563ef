// The per-file decision, table-driven: real file pairs (and remembered states) run as dry-run
// file jobs with a plan; each row names the one step that must be planned, or none.
#include <functional>
#include <optional>

#include "core/run/SyncReport.h"
#include "core/sync/SyncFile.h"
#include "core/sync/decide/SyncPlan.h"
#include "engine_fixture.h"

namespace {

using namespace engine_test;
using KVO_Core::CompareItem;
using KVO_Core::CompareItems;
using KVO_Core::PlannedAction;
using KVO_Core::SyncFlags;

struct Side {
  std::string content;
  double seconds;
};

struct Base {
  std::uint64_t size;
  double source_seconds;
  double target_seconds;
};

struct Row {
  char const* name;
  std::function<void(SyncFlags&, CompareItems&)> setup;
  std::optional<Side> source;
  std::optional<Side> target;
  std::optional<Base> base;
  std::optional<PlannedAction> expected;
};

void two_way(SyncFlags& f, CompareItems&) { f.twoWaySync = true; }
void plain(SyncFlags&, CompareItems&) {}
std::function<void(SyncFlags&, CompareItems&)> compare(std::set<CompareItem> items,
                                                       std::function<void(SyncFlags&)> more = {}) {
  return [=](SyncFlags& f, CompareItems& c) {
    c.items = items;
    if (more) more(f);
  };
}

Side const ABC{"abc", 0};

std::vector<Row> const ROWS = {
    // One-way items.
    {"new source is copied", plain, ABC, {}, {}, PlannedAction::CopyToTarget},
    {"target-only file stays", plain, {}, ABC, {}, {}},
    {"target-only file goes with syncDeletions",
     [](SyncFlags& f, CompareItems&) { f.syncDeletions = true; },
     {},
     ABC,
     {},
     PlannedAction::DeleteTarget},
    {"moving item keeps what it moved to the target",
     [](SyncFlags& f, CompareItems&) {
       f.syncDeletions = true;
       f.delAftercopy = true;
     },
     {},
     ABC,
     {},
     {}},
    {"equal content is left", plain, ABC, ABC, {}, {}},
    {"newer target is overwritten under the content test",
     plain,
     ABC,
     Side{"abd", 100},
     {},
     PlannedAction::CopyToTarget},
    {"newer target is kept under the time test",
     compare({CompareItem::Time}),
     ABC,
     Side{"abd", 100},
     {},
     {}},
    {"newer target is overwritten with copyWhenTargetNewer",
     compare({CompareItem::Time}, [](SyncFlags& f) { f.copyWhenTargetNewer = true; }),
     ABC,
     Side{"abd", 100},
     {},
     PlannedAction::CopyToTarget},
    {"moving item moves a new source",
     [](SyncFlags& f, CompareItems&) { f.delAftercopy = true; },
     ABC,
     {},
     {},
     PlannedAction::MoveToTarget},
    {"moving item finishes a move when the target holds the content",
     [](SyncFlags& f, CompareItems&) { f.delAftercopy = true; },
     ABC,
     ABC,
     {},
     PlannedAction::DeleteSource},
    {"moving item keeps its source when only size and time agree",
     compare({CompareItem::Size, CompareItem::Time}, [](SyncFlags& f) { f.delAftercopy = true; }),
     ABC,
     Side{"abd", 0},
     {},
     {}},
    {"moving item finishes a move by size and time when the content agrees",
     compare({CompareItem::Size, CompareItem::Time}, [](SyncFlags& f) { f.delAftercopy = true; }),
     ABC,
     ABC,
     {},
     PlannedAction::DeleteSource},
    {"larger source under the size test",
     compare({CompareItem::Size}),
     Side{"abcd", 0},
     ABC,
     {},
     PlannedAction::CopyToTarget},
    // Times within the tolerance say nothing of which side changed: the source is the authority.
    {"larger target at the same time is overwritten under the size test",
     compare({CompareItem::Size}),
     ABC,
     Side{"abcd", 0},
     {},
     PlannedAction::CopyToTarget},
    {"larger target within the tolerance is overwritten under size and time",
     compare({CompareItem::Size, CompareItem::Time}),
     Side{"v2\n", 0.5},
     Side{"alpha\n", 0},
     {},
     PlannedAction::CopyToTarget},
    {"larger target newer beyond the tolerance is kept under size and time",
     compare({CompareItem::Size, CompareItem::Time}),
     ABC,
     Side{"abcd", 100},
     {},
     {}},
    {"larger target older beyond the tolerance is kept under the size test",
     compare({CompareItem::Size}),
     Side{"abc", 100},
     Side{"abcd", 0},
     {},
     {}},
    {"empty source is not copied", plain, Side{"", 0}, {}, {}, {}},
    {"empty source is copied with syncEmptyFiles",
     [](SyncFlags& f, CompareItems&) { f.syncEmptyFiles = true; },
     Side{"", 0},
     {},
     {},
     PlannedAction::CopyToTarget},
    {"times within the tolerance are equal",
     compare({CompareItem::Time}),
     ABC,
     Side{"abd", 2},
     {},
     {}},
    {"a source newer beyond the tolerance is copied",
     compare({CompareItem::Time}),
     Side{"abc", 2.000001},
     Side{"abd", 0},
     {},
     PlannedAction::CopyToTarget},
    {"same content with only a newer target time is restamped, not planned",
     compare({CompareItem::Time}),
     ABC,
     Side{"abc", 100},
     {},
     {}},
    {"a source above the size limit is left out",
     [](SyncFlags& f, CompareItems&) { f.maxFileMB = 1; },
     Side{std::string(1048577, 'x'), 0},
     {},
     {},
     {}},
    {"a source at the size limit is copied",
     [](SyncFlags& f, CompareItems&) { f.maxFileMB = 1; },
     Side{std::string(1048576, 'x'), 0},
     {},
     {},
     PlannedAction::CopyToTarget},
    // Two-way items without a remembered pair.
    {"two-way target-only file is copied back", two_way, {}, ABC, {}, PlannedAction::CopyToSource},
    {"two-way target-only file is copied back also with syncDeletions",
     [](SyncFlags& f, CompareItems&) {
       f.twoWaySync = true;
       f.syncDeletions = true;
     },
     {},
     ABC,
     {},
     PlannedAction::CopyToSource},
    {"two-way newer target is copied back",
     compare({CompareItem::Time}, [](SyncFlags& f) { f.twoWaySync = true; }),
     ABC,
     Side{"abd", 100},
     {},
     PlannedAction::CopyToSource},
    {"two-way ignores copyWhenTargetNewer",
     compare({CompareItem::Time},
             [](SyncFlags& f) {
               f.twoWaySync = true;
               f.copyWhenTargetNewer = true;
             }),
     ABC,
     Side{"abd", 100},
     {},
     PlannedAction::CopyToSource},
    {"two-way content conflict gets a conflict copy",
     two_way,
     ABC,
     Side{"abd", 1},
     {},
     PlannedAction::ConflictSourceWins},
    {"two-way content conflict without conflict copies is left",
     [](SyncFlags& f, CompareItems&) {
       f.twoWaySync = true;
       f.conflictCopies = false;
     },
     ABC,
     Side{"abd", 1},
     {},
     {}},
    {"two-way new source is copied", two_way, ABC, {}, {}, PlannedAction::CopyToTarget},
    {"two-way sizes differ within the tolerance: a conflict, both kept",
     compare({CompareItem::Size, CompareItem::Time}, [](SyncFlags& f) { f.twoWaySync = true; }),
     Side{"v2\n", 0.5},
     Side{"alpha\n", 0},
     {},
     PlannedAction::ConflictSourceWins},
    {"two-way sizes differ within the tolerance without conflict copies: left",
     compare({CompareItem::Size, CompareItem::Time},
             [](SyncFlags& f) {
               f.twoWaySync = true;
               f.conflictCopies = false;
             }),
     Side{"v2\n", 0.5},
     Side{"alpha\n", 0},
     {},
     {}},
    {"two-way larger target beyond the tolerance under the size test is copied back",
     compare({CompareItem::Size}, [](SyncFlags& f) { f.twoWaySync = true; }),
     Side{"abc", 100},
     Side{"abcd", 0},
     {},
     PlannedAction::CopyToSource},
    // Two-way items with a remembered pair.
    {"source deleted, target unchanged",
     two_way,
     {},
     ABC,
     Base{3, 0, 0},
     PlannedAction::DeleteTarget},
    {"target deleted, source unchanged",
     two_way,
     ABC,
     {},
     Base{3, 0, 0},
     PlannedAction::DeleteSource},
    {"source deleted, target changed: restored to the source",
     two_way,
     {},
     Side{"abcd", 50},
     Base{3, 0, 0},
     PlannedAction::CopyToSource},
    {"target deleted, source changed: restored to the target",
     two_way,
     Side{"abcd", 50},
     {},
     Base{3, 0, 0},
     PlannedAction::CopyToTarget},
    {"source changed, target unchanged though newer", two_way, Side{"abd", 50}, Side{"abc", 100},
     Base{3, 0, 100}, PlannedAction::CopyToTarget},
    {"target changed, source unchanged", two_way, ABC, Side{"abcd", 50}, Base{3, 0, 0},
     PlannedAction::CopyToSource},
    {"both changed, the newer target wins the conflict", two_way, Side{"abcd", 50},
     Side{"abcde", 80}, Base{3, 0, 0}, PlannedAction::ConflictTargetWins},
    {"both unchanged", two_way, ABC, ABC, Base{3, 0, 0}, {}},
    {"a one-way item never compares against its remembered pair",
     [](SyncFlags& f, CompareItems&) {
       f.trackMoves = true;
       f.syncDeletions = true;
     },
     {},
     ABC,
     Base{3, 0, 0},
     PlannedAction::DeleteTarget},
};

class DecisionTable : public testing::TestWithParam<Row> {};

TEST_P(DecisionTable, PlansTheRowsStep) {
  Row const& row = GetParam();
  test_support::TempDir dir;
  fs::path const source = dir / "src/a.txt";
  fs::path const target = dir / "dst/a.txt";
  fs::create_directories(dir / "src");
  fs::create_directories(dir / "dst");
  if (row.source) put(source, row.source->content, row.source->seconds);
  if (row.target) put(target, row.target->content, row.target->seconds);
  SyncFlags flags;
  CompareItems items;
  row.setup(flags, items);
  auto const item = make_item(KVO_Core::SyncItemType::File, source, target, flags, items);

  KVO_Core::SyncState state(w(source), w(target));
  if (row.base)
    state = KVO_Core::SyncState(
        w(source), w(target),
        {{L"a.txt", KVO_Core::FileState{row.base->size, at(row.base->source_seconds),
                                        at(row.base->target_seconds), std::nullopt}}});
  KVO_Core::SyncState const before = state;

  Running running;
  KVO_Core::SyncPlan plan;
  std::uint64_t count = 0;
  {
    KVO_Core::SyncPlanGuard guard(&plan);
    KVO_Core::SyncFile job(item, count, true, false, &state, L"", L"");
    job();
  }

  if (row.expected) {
    ASSERT_EQ(plan.steps.size(), 1u) << row.name;
    EXPECT_EQ(plan.steps[0].action, *row.expected) << row.name;
    EXPECT_EQ(plan.steps[0].source, w(source));
    EXPECT_EQ(plan.steps[0].target, w(target));
    EXPECT_EQ(count, 1u);
  } else {
    EXPECT_TRUE(plan.steps.empty())
        << row.name << ": planned "
        << (plan.steps.empty() ? -1 : static_cast<int>(plan.steps[0].action));
    EXPECT_EQ(count, 0u);
  }
  // A dry run changes nothing: neither the files nor the state.
  EXPECT_EQ(state.entries.size(), before.entries.size());
  EXPECT_FALSE(state.changed);
  if (row.source) {
    EXPECT_EQ(fs::last_write_time(source), at(row.source->seconds));
  }
  if (row.target) {
    EXPECT_EQ(fs::last_write_time(target), at(row.target->seconds));
  }
  EXPECT_EQ(fs::exists(source), row.source.has_value());
  EXPECT_EQ(fs::exists(target), row.target.has_value());
}

std::string row_name(testing::TestParamInfo<Row> const& info) {
  std::string name;
  for (char c : std::string(info.param.name))
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, DecisionTable, testing::ValuesIn(ROWS), row_name);

TEST(DecisionPlan, StepBytesAreTheSizeOfTheFileThatWouldMove) {
  test_support::TempDir dir;
  put(dir / "src/a.txt", "12345", 0);
  put(dir / "dst/a.txt", "1234567", 100);
  SyncFlags flags;
  flags.twoWaySync = true;
  CompareItems items;
  items.items = {CompareItem::Time};
  auto const item =
      make_item(KVO_Core::SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", flags, items);
  KVO_Core::SyncState state(w(dir / "src/a.txt"), w(dir / "dst/a.txt"));
  Running running;
  KVO_Core::SyncPlan plan;
  std::uint64_t count = 0;
  KVO_Core::SyncPlanGuard guard(&plan);
  KVO_Core::SyncFile(item, count, true, false, &state, L"", L"")();
  ASSERT_EQ(plan.steps.size(), 1u);
  EXPECT_EQ(plan.steps[0].action, PlannedAction::CopyToSource);
  EXPECT_EQ(plan.steps[0].bytes, 7u);
  EXPECT_EQ(plan.bytes, 7u);
}

TEST(EngineBase, NamesThatAreNotUtf8AreSkippedWithAHint) {
  KVO_Core::SyncReport report;
  KVO_Core::SyncReportGuard guard(&report);
  EXPECT_FALSE(KVO_Core::SyncBase::skip_undecodable("caf\xC3\xA9", L"/d"));
  EXPECT_TRUE(KVO_Core::SyncBase::skip_undecodable("caf\xE9", L"/d"));
  EXPECT_TRUE(KVO_Core::SyncBase::skip_undecodable("\xC0\xAF", L"/e"));      // overlong "/"
  EXPECT_TRUE(KVO_Core::SyncBase::skip_undecodable("\xED\xA0\x80", L"/e"));  // a surrogate
  ASSERT_EQ(report.hints.count("undecodable_name_skipped"), 1u);
  EXPECT_EQ(report.hints["undecodable_name_skipped"].count, 3u);
  EXPECT_EQ(report.hints["undecodable_name_skipped"].example, L"/d");
}

TEST(EngineBase, StateKeysAreRelativeToTheSourceRoot) {
  std::uint64_t count = 0;
  auto const item = make_item(KVO_Core::SyncItemType::Tree, "/a/b", "/t", {});
  KVO_Core::SyncFile job(item, count, true, false, nullptr, L"", L"");
  EXPECT_EQ(job.state_key(L"/a/b/c/d.txt"), L"c/d.txt");
  EXPECT_EQ(job.state_key(L"/a/bc/x"), L"a/bc/x");
  EXPECT_EQ(job.state_key(L"/a/b"), L"b");
  // A backslash is a character of the name, never a separator.
  EXPECT_EQ(job.state_key(L"/a/b/c\\d"), L"c\\d");
  EXPECT_EQ(job.state_key(L"/a/b\\c"), L"a/b\\c");
  KVO_Core::SyncFile slash(item, count, true, false, nullptr, L"/a/b/", L"/t");
  EXPECT_EQ(slash.state_key(L"/a/b/x"), L"x");
}

TEST(DecisionPlan, DryRunWithoutPlanOnlyCounts) {
  test_support::TempDir dir;
  put(dir / "src/a.txt", "abc", 0);
  fs::create_directories(dir / "dst");
  auto const item = make_item(KVO_Core::SyncItemType::Directory, dir / "src", dir / "dst", {});
  Running running;
  std::uint64_t count = 0;
  KVO_Core::SyncFile parent(item, count, true, false, nullptr, L"", L"");
  parent.sync_file(w(dir / "src/a.txt"), w(dir / "dst/a.txt"), L"");
  EXPECT_EQ(count, 1u);
  EXPECT_FALSE(fs::exists(dir / "dst/a.txt"));
}

}  // namespace
