// Staging files of copies that a crash cut short: a walk removes those it meets on either side,
// and they keep no folder alive that was deleted on the other side. Names so long that
// "<name>.kvo-part" would not fit are staged under a shorter name and arrive all the same.
#include <functional>

#include "tree_fixture.h"

namespace {

using namespace tree_test;

struct Case {
  char const* name;
  KVO_Core::SyncItemType type;
  std::function<void(KVO_Core::SyncFlags&)> flags;
  Tree files;  // in the source before the first pass
  std::function<void(fs::path const& src, fs::path const& dst)> between;
  Tree expected;  // on both sides after the second pass
};

void PrintTo(Case const& c, std::ostream* out) { *out << c.name; }

void two_way(KVO_Core::SyncFlags& f) { f.twoWaySync = true; }
void mirror(KVO_Core::SyncFlags& f) { f.syncDeletions = true; }

class StagingLeftovers : public TreeItem, public testing::WithParamInterface<Case> {};

TEST_P(StagingLeftovers, AreRemovedByTheWalk) {
  Case const& c = GetParam();
  fill(src, c.files);
  KVO_Core::SyncFlags flags;
  c.flags(flags);
  KVO_Core::SyncItem it = item(flags);
  it.type = c.type;
  run(it);
  c.between(src, dst);
  run(it);
  EXPECT_EQ(snapshot(src), c.expected);
  EXPECT_EQ(snapshot(dst), c.expected);
  EXPECT_TRUE(report.errors.empty());
}

Tree const KEEP{{"keep.txt", "k"}};
Tree const KEEP_AND_D{{"keep.txt", "k"}, {"d", "/"}, {"d/f.txt", "f"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, StagingLeftovers,
    testing::Values(Case{"MirrorTargetLeftover", KVO_Core::SyncItemType::Tree, mirror, KEEP,
                         [](fs::path const&, fs::path const& d) {
                           test_support::write_file(d / "renamed.txt.kvo-part", "half");
                         },
                         KEEP},
                    Case{"DirectoryItemSourceLeftover", KVO_Core::SyncItemType::Directory,
                         [](KVO_Core::SyncFlags&) {}, KEEP,
                         [](fs::path const& s, fs::path const&) {
                           test_support::write_file(s / "back.txt.kvo-part", "half");
                         },
                         KEEP},
                    Case{"TwoWayLeftoversOnBothSides", KVO_Core::SyncItemType::Tree, two_way,
                         KEEP_AND_D,
                         [](fs::path const& s, fs::path const& d) {
                           test_support::write_file(s / "d/gone.txt.kvo-part", "half");
                           test_support::write_file(d / "d/other.txt.kvo-part", "half");
                           test_support::write_file(d / "top.txt.kvo-part", "half");
                         },
                         KEEP_AND_D},
                    Case{"FolderDeletedInTheSourceLeavesNoFolder", KVO_Core::SyncItemType::Tree,
                         two_way, KEEP_AND_D,
                         [](fs::path const& s, fs::path const& d) {
                           fs::remove_all(s / "d");
                           test_support::write_file(d / "d/g.txt.kvo-part", "half");
                         },
                         KEEP},
                    Case{"FolderDeletedInTheTargetLeavesNoFolder", KVO_Core::SyncItemType::Tree,
                         two_way, KEEP_AND_D,
                         [](fs::path const& s, fs::path const& d) {
                           fs::remove_all(d / "d");
                           test_support::write_file(s / "d/g.txt.kvo-part", "half");
                         },
                         KEEP}),
    [](auto const& info) { return std::string(info.param.name); });

// A root that holds nothing but leftovers is as empty as an unmounted volume's mount point: the
// pass is refused and nothing is deleted on the other side.
TEST_F(TreeItem, RootHoldingOnlyLeftoversCountsAsEmpty) {
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  auto const it = item(flags);
  test_support::write_file(src / "a.txt", "a");
  run(it);
  ASSERT_EQ(snapshot(dst), (Tree{{"a.txt", "a"}}));
  fs::remove(src / "a.txt");
  test_support::write_file(src / "a.txt.kvo-part", "half");
  run(it);
  EXPECT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(snapshot(dst), (Tree{{"a.txt", "a"}}));
}

TEST_F(TreeItem, NamesUpToTheLimitAreCopiedBothWays) {
  std::string two_byte;
  for (int i = 0; i < 127; ++i) two_byte += "\xC3\xA9";
  std::vector<std::string> const names{std::string(246, 'a'), std::string(247, 'b'),
                                       std::string(255, 'c'), two_byte + "x",
                                       "d/" + std::string(255, 'd')};
  for (std::string const& name : names) test_support::write_file(src / name, name.substr(0, 3));
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  auto const it = item(flags);
  run(it);
  EXPECT_TRUE(report.errors.empty()) << testing::PrintToString(report.errors.size());
  EXPECT_EQ(snapshot(dst), snapshot(src));
  // Back from the target, over an older source.
  put(dst / names[2], "changed in the target", 100);
  put(dst / names[4], "changed too", 100);
  run(it);
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(test_support::read_file(src / names[2]), "changed in the target");
  EXPECT_EQ(test_support::read_file(src / names[4]), "changed too");
  EXPECT_EQ(snapshot(dst), snapshot(src));
}

}  // namespace
