// Follow mode: linked folders become real target folders; loops, links into the target, chains
// that are too deep and dangling links are skipped and warned about once while they last.
#include "tree_fixture.h"

namespace {

using namespace tree_test;
using Utilities::LogLevel;

KVO_Core::SyncFlags follow() {
  KVO_Core::SyncFlags flags;
  flags.symlinks = KVO_Core::SymlinkMode::Follow;
  return flags;
}

// The warning of a link count names the count and the first path counted.
std::string counted(std::size_t n, fs::path const& example) {
  return std::to_string(n) + " (" + example.string() + ")";
}

TEST_F(TreeItem, FollowedFolderBecomesARealTargetFolder) {
  put(dir / "linked/inner/f.txt", "f", 0);
  put(dir / "file.txt", "file", 0);
  fs::create_directory_symlink(dir / "linked", src / "dl");
  fs::create_symlink(dir / "file.txt", src / "fl.txt");
  run(item(follow()));
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(snapshot(dst),
            (Tree{{"dl", "/"}, {"dl/inner", "/"}, {"dl/inner/f.txt", "f"}, {"fl.txt", "file"}}));
}

struct Refusal {
  char const* name;
  std::function<std::string(fs::path const& dir, fs::path const& src, fs::path const& dst)> make;
  Tree dst_after;
};

std::vector<Refusal> const REFUSALS = {
    {"link_to_ancestor",
     [](auto, auto s, auto) {
       fs::create_directories(s / "a");
       fs::create_directory_symlink(s, s / "a/up");
       return counted(1, s / "a/up");
     },
     {{"a", "/"}}},
    {"link_to_parent_relative",
     [](auto, auto s, auto) {
       fs::create_directories(s / "a/b");
       fs::create_directory_symlink("..", s / "a/b/back");
       return counted(1, s / "a/b/back");
     },
     {{"a", "/"}, {"a/b", "/"}}},
    {"self_link",
     [](auto, auto s, auto) {
       fs::create_symlink("self", s / "self");
       return counted(1, s / "self");
     },
     {}},
    {"two_links_in_a_ring",
     [](auto, auto s, auto) {
       fs::create_symlink("b", s / "a");
       fs::create_symlink("a", s / "b");
       return "2 (" + s.string() + "/";
     },
     {}},
    {"dangling",
     [](auto d, auto s, auto) {
       fs::create_symlink(d / "missing", s / "gone");
       return counted(1, s / "gone");
     },
     {}},
    {"link_into_target",
     [](auto, auto s, auto t) {
       fs::create_directory_symlink(t, s / "to_target");
       return counted(1, s / "to_target");
     },
     {}},
};

class FollowRefusal : public TreeItem, public testing::WithParamInterface<Refusal> {};

TEST_P(FollowRefusal, SkippedAndWarnedOnceWhileItLasts) {
  std::string const example = GetParam().make(dir.path(), src, dst);
  LogLines lines;
  run(item(follow()));
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(snapshot(dst), GetParam().dst_after);
  EXPECT_EQ(lines.count(LogLevel::Warning, example), 1u);
  run(item(follow()));
  EXPECT_EQ(lines.count(LogLevel::Warning, example), 1u);
  EXPECT_EQ(snapshot(dst), GetParam().dst_after);
}

INSTANTIATE_TEST_SUITE_P(Tree, FollowRefusal, testing::ValuesIn(REFUSALS),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(TreeItem, NinthLinkOfAChainIsTooDeep) {
  // out/d1 .. out/d9; src/l1 -> d1, d1/l2 -> d2, ..., d8/l9 -> d9.
  fs::path const out = dir / "out";
  for (int i = 1; i <= 9; ++i) put(out / ("d" + std::to_string(i)) / "f.txt", "f", 0);
  fs::create_directory_symlink(out / "d1", src / "l1");
  for (int i = 1; i <= 8; ++i)
    fs::create_directory_symlink(out / ("d" + std::to_string(i + 1)),
                                 out / ("d" + std::to_string(i)) / ("l" + std::to_string(i + 1)));
  LogLines lines;
  run(item(follow()));
  fs::path deepest = dst;
  for (int i = 1; i <= 8; ++i) {
    deepest /= "l" + std::to_string(i);
    EXPECT_EQ(test_support::read_file(deepest / "f.txt"), "f") << i;
  }
  EXPECT_FALSE(fs::exists(deepest / "l9"));
  EXPECT_EQ(lines.count(LogLevel::Warning, counted(1, src / "l1/l2/l3/l4/l5/l6/l7/l8/l9")), 1u);
}

TEST_F(TreeItem, FollowOnTwoWayItemActsAsFileContent) {
  put(dir / "linked/f.txt", "f", 0);
  fs::create_directory_symlink(dir / "linked", src / "dl");
  KVO_Core::SyncFlags flags = follow();
  flags.twoWaySync = true;
  run(item(flags));
  EXPECT_EQ(snapshot(dst), Tree{});
  EXPECT_EQ(snapshot(dir / "linked"), (Tree{{"f.txt", "f"}}));
}

}  // namespace
