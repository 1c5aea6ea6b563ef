// Directory items end to end: a first pass puts both sides in step, a change is made, the next
// pass must give the expected folders and state, and one more pass must change nothing.
#include "core/sync/decide/SyncPlan.h"
#include "dirs_fixture.h"

namespace {

using namespace dirs_test;
using Utilities::LogLevel;

struct Scenario {
  char const* name;
  void (*flags)(KVO_Core::SyncFlags&);
  std::wstring wildcard;
  std::vector<std::wstring> exclusions;
  Files before;  // in both folders after the first pass
  std::function<void(fs::path const& src, fs::path const& dst)> change;
  Files src_after;
  Files dst_after;
  std::vector<std::wstring> keys;  // of the state file (two-way items)
  char const* logged = nullptr;    // a log text the changing pass gives
};

void two_way(KVO_Core::SyncFlags& f) { f.twoWaySync = true; }
void two_way_plain(KVO_Core::SyncFlags& f) {
  f.twoWaySync = true;
  f.conflictCopies = false;
}
void mirror(KVO_Core::SyncFlags& f) { f.syncDeletions = true; }
void one_way(KVO_Core::SyncFlags&) {}
void moving(KVO_Core::SyncFlags& f) { f.delAftercopy = true; }

Files const AB{{"a.txt", "alpha"}, {"b.txt", "bravo!"}};

std::vector<Scenario> const SCENARIOS = {
    {"edit_in_source",
     two_way,
     L"",
     {},
     AB,
     [](auto s, auto) { put(s / "a.txt", "alpha2", 100); },
     {{"a.txt", "alpha2"}, {"b.txt", "bravo!"}},
     {{"a.txt", "alpha2"}, {"b.txt", "bravo!"}},
     {L"a.txt", L"b.txt"}},
    {"edit_in_target",
     two_way,
     L"",
     {},
     AB,
     [](auto, auto d) { put(d / "b.txt", "bravo2", 100); },
     {{"a.txt", "alpha"}, {"b.txt", "bravo2"}},
     {{"a.txt", "alpha"}, {"b.txt", "bravo2"}},
     {L"a.txt", L"b.txt"}},
    {"delete_in_source",
     two_way,
     L"",
     {},
     AB,
     [](auto s, auto) { fs::remove(s / "a.txt"); },
     {{"b.txt", "bravo!"}},
     {{"b.txt", "bravo!"}},
     {L"b.txt"},
     "target_deleted_source_missing"},
    {"delete_in_target",
     two_way,
     L"",
     {},
     AB,
     [](auto, auto d) { fs::remove(d / "b.txt"); },
     {{"a.txt", "alpha"}},
     {{"a.txt", "alpha"}},
     {L"a.txt"},
     "source_deleted_target_missing"},
    {"rename_in_source",
     two_way,
     L"",
     {},
     AB,
     [](auto s, auto) { fs::rename(s / "a.txt", s / "c.txt"); },
     {{"c.txt", "alpha"}, {"b.txt", "bravo!"}},
     {{"c.txt", "alpha"}, {"b.txt", "bravo!"}},
     {L"b.txt", L"c.txt"},
     "renamed_in_target"},
    {"rename_in_target",
     two_way,
     L"",
     {},
     AB,
     [](auto, auto d) { fs::rename(d / "b.txt", d / "0.txt"); },
     {{"a.txt", "alpha"}, {"0.txt", "bravo!"}},
     {{"a.txt", "alpha"}, {"0.txt", "bravo!"}},
     {L"0.txt", L"a.txt"},
     "renamed_in_source"},
    {"both_modified_without_conflict_copies",
     two_way_plain,
     L"",
     {},
     AB,
     [](auto s, auto d) {
       put(s / "a.txt", "alpha-s", 100);
       put(d / "a.txt", "alpha-dd", 200);
     },
     {{"a.txt", "alpha-s"}, {"b.txt", "bravo!"}},
     {{"a.txt", "alpha-dd"}, {"b.txt", "bravo!"}},
     {L"a.txt", L"b.txt"},
     "both_modified_not_copied"},
    {"deleted_but_changed",
     two_way,
     L"",
     {},
     AB,
     [](auto s, auto d) {
       fs::remove(s / "a.txt");
       put(d / "a.txt", "alpha-new", 100);
     },
     {{"a.txt", "alpha-new"}, {"b.txt", "bravo!"}},
     {{"a.txt", "alpha-new"}, {"b.txt", "bravo!"}},
     {L"a.txt", L"b.txt"},
     "deleted_but_changed_kept"},
    {"new_in_target_two_way",
     two_way,
     L"",
     {},
     AB,
     [](auto, auto d) { put(d / "n.txt", "new", 100); },
     {{"a.txt", "alpha"}, {"b.txt", "bravo!"}, {"n.txt", "new"}},
     {{"a.txt", "alpha"}, {"b.txt", "bravo!"}, {"n.txt", "new"}},
     {L"a.txt", L"b.txt", L"n.txt"}},
    {"target_only_with_sync_deletions",
     mirror,
     L"",
     {},
     AB,
     [](auto, auto d) { put(d / "extra.txt", "x", 100); },
     AB,
     AB,
     {},
     "target_deleted_source_missing"},
    {"target_only_without_sync_deletions",
     one_way,
     L"",
     {},
     AB,
     [](auto, auto d) { put(d / "extra.txt", "x", 100); },
     AB,
     {{"a.txt", "alpha"}, {"b.txt", "bravo!"}, {"extra.txt", "x"}},
     {}},
    {"wildcard",
     mirror,
     L"*.txt",
     {},
     AB,
     [](auto s, auto d) {
       put(s / "new.doc", "doc", 100);
       put(d / "kept.doc", "kept", 100);
     },
     {{"a.txt", "alpha"}, {"b.txt", "bravo!"}, {"new.doc", "doc"}},
     {{"a.txt", "alpha"}, {"b.txt", "bravo!"}, {"kept.doc", "kept"}},
     {}},
    {"exclusions",
     mirror,
     L"",
     {L"*.tmp", L"b.*"},
     {{"a.txt", "alpha"}},
     [](auto s, auto d) {
       put(s / "c.tmp", "tmp", 100);
       put(s / "b.txt", "bravo!", 100);
       put(d / "d.tmp", "kept", 100);
     },
     {{"a.txt", "alpha"}, {"b.txt", "bravo!"}, {"c.tmp", "tmp"}},
     {{"a.txt", "alpha"}, {"d.tmp", "kept"}},
     {}},
    {"moving_item",
     moving,
     L"",
     {},
     {},
     [](auto s, auto) {
       put(s / "m1.txt", "one", 100);
       put(s / "m2.txt", "two", 100);
     },
     {},
     {{"m1.txt", "one"}, {"m2.txt", "two"}},
     {}},
};

class Scenarios : public DirItem, public testing::WithParamInterface<Scenario> {};

TEST_P(Scenarios, GiveTheExpectedFoldersAndStateAndASecondPassChangesNothing) {
  Scenario const& s = GetParam();
  KVO_Core::SyncFlags flags;
  s.flags(flags);
  auto const it = item(flags, s.wildcard, s.exclusions);
  for (auto const& [name, content] : s.before) put(src / name, content, 0);
  run(it);
  ASSERT_EQ(files_in(dst), s.before);
  ASSERT_TRUE(report.errors.empty()) << Utilities::util::wstring_to_string(report.errors[0]);

  s.change(src, dst);
  LogLines log;
  run(it);
  EXPECT_EQ(files_in(src), s.src_after);
  EXPECT_EQ(files_in(dst), s.dst_after);
  if (flags.twoWaySync) {
    EXPECT_EQ(state_keys(), s.keys);
  }
  if (s.logged) {
    EXPECT_GE(log.count(LogLevel::Info, s.logged) + log.count(LogLevel::Warning, s.logged) +
                  log.count(LogLevel::Error, s.logged),
              1u);
  }

  std::string const state_text = test_support::read_file(state_file);
  std::uint64_t const handled = count;
  run(it);
  EXPECT_EQ(files_in(src), s.src_after);
  EXPECT_EQ(files_in(dst), s.dst_after);
  EXPECT_EQ(test_support::read_file(state_file), state_text);
  EXPECT_EQ(count, handled);
}

INSTANTIATE_TEST_SUITE_P(DirItems, Scenarios, testing::ValuesIn(SCENARIOS),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(DirItem, SubfoldersAreNeverEntered) {
  put(src / "a.txt", "a", 0);
  put(src / "sub/inner.txt", "i", 0);
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  run(item(flags));
  EXPECT_EQ(files_in(dst), (Files{{"a.txt", "a"}}));
  EXPECT_FALSE(fs::exists(dst / "sub"));
}

TEST_F(DirItem, PreviewChangesNothingOnDiskOrInTheState) {
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  // Sizes differ, so that a renamed file has exactly one candidate.
  for (int i = 0; i < 12; ++i) put(src / ("f" + std::to_string(i)), std::string(i + 1, 'x'), 0);
  run(item(flags));
  std::string const state_text = test_support::read_file(state_file);
  for (int i = 0; i < 11; ++i) fs::remove(src / ("f" + std::to_string(i)));
  fs::rename(src / "f11", src / "g11");
  put(src / "new.txt", "new", 100);
  KVO_Core::SyncPlan plan;
  {
    KVO_Core::SyncPlanGuard guard(&plan);
    run(item(flags), KVO_Core::SyncType::Preview);
  }
  EXPECT_EQ(files_in(dst).size(), 12u);
  EXPECT_EQ(files_in(src).size(), 2u);
  EXPECT_EQ(test_support::read_file(state_file), state_text);
  using A = KVO_Core::PlannedAction;
  EXPECT_EQ(plan.counts[static_cast<int>(A::RenameInTarget)], 1u);
  EXPECT_EQ(plan.counts[static_cast<int>(A::DeleteTarget)], 11u);
  EXPECT_EQ(plan.counts[static_cast<int>(A::CopyToTarget)], 1u);
}

}  // namespace
