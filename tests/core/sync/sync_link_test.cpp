// Links synced as links: absolute links inside the tree arrive relative, links leaving the tree
// are made and counted, the decision table in both directions, conflicts, and what may stand at
// the place of a new link.
#include "tree_fixture.h"

namespace {

using namespace tree_test;
using Utilities::LogLevel;

KVO_Core::SyncFlags as_link(bool two_way = false) {
  KVO_Core::SyncFlags flags;
  flags.symlinks = KVO_Core::SymlinkMode::AsLink;
  flags.twoWaySync = two_way;
  return flags;
}

TEST_F(TreeItem, AbsoluteLinkInsideTreeArrivesRelative) {
  put(src / "b/f.txt", "f", 0);
  fs::create_directories(src / "a");
  fs::create_symlink(src / "b/f.txt", src / "a/in");
  fs::create_symlink("/etc/hostname", src / "out");
  LogLines lines;
  run(item(as_link()));
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(snapshot(dst), (Tree{{"a", "/"},
                                 {"a/in", "-> ../b/f.txt"},
                                 {"b", "/"},
                                 {"b/f.txt", "f"},
                                 {"out", "-> /etc/hostname"}}));
  EXPECT_EQ(test_support::read_file(dst / "a/in"), "f");
  EXPECT_EQ(lines.count(LogLevel::Warning, "1 (" + (src / "out").string() + ")"), 1u);
  Tree const after = snapshot(dst);
  run(item(as_link()));
  EXPECT_EQ(snapshot(dst), after);
}

TEST_F(TreeItem, LinkOverAFileParksAndRemovesIt) {
  fs::create_symlink("elsewhere", src / "l");
  put(dst / "l", "a user's file", 0);
  put(dst / "l.bak", "taken", 0);
  run(item(as_link()));
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(snapshot(dst), (Tree{{"l", "-> elsewhere"}, {"l.bak", "taken"}}));
}

TEST_F(TreeItem, LinkOverAFileWithGenerationsKeepsIt) {
  fs::create_symlink("elsewhere", src / "l");
  put(dst / "l", "old", 0);
  KVO_Core::SyncFlags flags = as_link();
  flags.fatherSonPrinciple = true;
  run(item(flags));
  EXPECT_EQ(snapshot(dst), (Tree{{"l", "-> elsewhere"}, {"l.bak.1", "old"}}));
}

TEST_F(TreeItem, LinkOverAFolderIsRefused) {
  fs::create_symlink("elsewhere", src / "l");
  put(dst / "l/keep.txt", "keep", 0);
  run(item(as_link()));
  EXPECT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(snapshot(dst), (Tree{{"l", "/"}, {"l/keep.txt", "keep"}}));
}

TEST_F(TreeItem, UserFileAtTheStagingNameIsLeftAlone) {
  fs::create_symlink("elsewhere", src / "l");
  put(dst / "l.kvo-link", "mine", 0);
  run(item(as_link()));
  EXPECT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(test_support::read_file(dst / "l.kvo-link"), "mine");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dst / "l")));
}

TEST_F(TreeItem, LeftoverStagingLinkIsReplacedAndNeverSynced) {
  fs::create_symlink("elsewhere", src / "l");
  fs::create_symlink("stale", src / "x.kvo-link");
  fs::create_symlink("stale", dst / "l.kvo-link");
  run(item(as_link()));
  EXPECT_EQ(snapshot(dst), (Tree{{"l", "-> elsewhere"}}));
}

struct TwoWayCase {
  char const* name;
  std::function<void(fs::path const& src, fs::path const& dst)> change;
  char const* src_link;  // nullptr: no link
  char const* dst_link;
};

std::vector<TwoWayCase> const TWO_WAY = {
    {"changed_in_source",
     [](auto s, auto) {
       fs::remove(s / "l");
       fs::create_symlink("new", s / "l");
     },
     "-> new", "-> new"},
    {"changed_in_target",
     [](auto, auto d) {
       fs::remove(d / "l");
       fs::create_symlink("new", d / "l");
     },
     "-> new", "-> new"},
    {"deleted_in_source", [](auto s, auto) { fs::remove(s / "l"); }, nullptr, nullptr},
    {"deleted_in_target", [](auto, auto d) { fs::remove(d / "l"); }, nullptr, nullptr},
    {"deleted_in_source_changed_in_target",
     [](auto s, auto d) {
       fs::remove(s / "l");
       fs::remove(d / "l");
       fs::create_symlink("new", d / "l");
     },
     "-> new", "-> new"},
    {"new_in_target", [](auto, auto d) { fs::create_symlink("t", d / "m"); }, "-> old", "-> old"},
};

class LinkTwoWay : public TreeItem, public testing::WithParamInterface<TwoWayCase> {};

TEST_P(LinkTwoWay, CarriedToTheOtherSide) {
  put(src / "keep.txt", "keep", 0);  // an empty root would look unmounted
  fs::create_symlink("old", src / "l");
  run(item(as_link(true)));
  ASSERT_EQ(fs::read_symlink(dst / "l"), "old");
  GetParam().change(src, dst);
  run(item(as_link(true)));
  for (auto const& e : report.errors) ADD_FAILURE() << Utilities::util::wstring_to_string(e);
  auto text = [](fs::path const& p) -> std::string {
    return fs::is_symlink(fs::symlink_status(p)) ? "-> " + fs::read_symlink(p).string() : "";
  };
  EXPECT_EQ(text(src / "l"), GetParam().src_link ? GetParam().src_link : "");
  EXPECT_EQ(text(dst / "l"), GetParam().dst_link ? GetParam().dst_link : "");
  EXPECT_EQ(snapshot(src), snapshot(dst));
}

INSTANTIATE_TEST_SUITE_P(Tree, LinkTwoWay, testing::ValuesIn(TWO_WAY),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(TreeItem, LinkConflictWithoutCopiesIsLoggedOnceReportedEveryPass) {
  fs::create_symlink("one", src / "l");
  fs::create_symlink("two", dst / "l");
  KVO_Core::SyncFlags flags = as_link(true);
  flags.conflictCopies = false;
  LogLines lines;
  run(item(flags));
  EXPECT_EQ(report.errors.size(), 1u);
  run(item(flags));
  EXPECT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(lines.count(LogLevel::Error, (dst / "l").string()), 1u);
  EXPECT_EQ(fs::read_symlink(dst / "l"), "two");
}

TEST_F(TreeItem, LinkConflictWithCopiesKeepsTheTargetLink) {
  fs::create_symlink("one", src / "l");
  fs::create_symlink("two", dst / "l");
  run(item(as_link(true)));
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(fs::read_symlink(dst / "l"), "one");
  std::size_t links = 0;
  for (auto const& entry : fs::directory_iterator(dst))
    if (entry.is_symlink() && fs::read_symlink(entry.path()) == "two") ++links;
  EXPECT_EQ(links, 1u);
}

}  // namespace
