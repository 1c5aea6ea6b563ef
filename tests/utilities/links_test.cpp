// Symbolic-link helpers: inspection, system areas, the lexical tests and the link trail.
#include "utilities/Links.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace Utilities::symlink_util;
using Utilities::FilesystemUtil::FileInfoResult;

TEST(LinkInspection, LinkInfoAndDangling) {
  test_support::TempDir temp;
  test_support::write_file(temp / "dä/€.txt", "x");
  fs::create_symlink("dä/€.txt", temp / "to-file");
  fs::create_symlink("dä", temp / "to-dir");
  fs::create_symlink("nowhere", temp / "dangling");

  struct Case {
    std::string name;
    bool is_link, exists, is_dir, dangling;
    fs::path text;
  } const cases[] = {
      {"dä/€.txt", false, false, false, false, ""},
      {"dä", false, false, false, false, ""},
      {"missing", false, false, false, false, ""},
      {"to-file", true, true, false, false, "dä/€.txt"},
      {"to-dir", true, true, true, false, "dä"},
      {"dangling", true, false, false, true, "nowhere"},
  };
  for (auto const& c : cases) {
    auto const info = link_info(temp / c.name);
    EXPECT_EQ(info.is_link, c.is_link) << c.name;
    EXPECT_EQ(info.target_exists, c.exists) << c.name;
    EXPECT_EQ(info.target_is_dir, c.is_dir) << c.name;
    EXPECT_EQ(info.text, c.text) << c.name;
    EXPECT_EQ(info.reason, 0) << c.name;
    EXPECT_EQ(dangling_link(temp / c.name), c.dangling) << c.name;
    EXPECT_FALSE(junction(temp / c.name));
  }
  EXPECT_EQ(link_info(temp / std::string(300, 'l')).reason,
            Utilities::FilesystemUtil::path_too_long);
}

TEST(LinkInspection, SystemLinks) {
  test_support::TempDir temp;
  test_support::write_file(temp / "file", "x");
  ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);
  struct Case {
    char const* name;
    fs::path target;
    bool system;
  } const cases[] = {
      {"null", "/dev/null", true},        {"self", "/proc/self", true},
      {"sys", "/sys/kernel", true},       {"dev", "/dev", true},
      {"fifo-link", temp / "fifo", true}, {"file-link", temp / "file", false},
      {"devil", "/devil/x", false},       {"dangling", temp / "nowhere", false},
  };
  for (auto const& c : cases) {
    fs::create_symlink(c.target, temp / c.name);
    EXPECT_EQ(system_link(temp / c.name), c.system) << c.name;
  }
  EXPECT_FALSE(system_link(temp / "file"));
  EXPECT_FALSE(system_link("/dev/null"));  // not a link itself
}

TEST(LexicalLinks, LeavesRoot) {
  struct Case {
    fs::path text;
    bool leaves;
  } const cases[] = {
      {"../../x", true}, {"../b", false}, {"/t/b", false},      {"../../t/b", false},
      {"/tx/b", true},   {"/", true},     {"b/../../..", true}, {".", false},
  };
  for (auto const& c : cases) EXPECT_EQ(leaves_root("/t/a/l", c.text, "/t"), c.leaves) << c.text;
  EXPECT_FALSE(leaves_root("/t/a/l", "../../t/b", "/t/"));
}

TEST(LexicalLinks, PortableLinkText) {
  struct Case {
    fs::path link, text, root, expected;
  } const cases[] = {
      {"/t/a/l", "/t/b/f", "/t", "../b/f"}, {"/t/a/l", "/etc/f", "/t", "/etc/f"},
      {"/t/a/l", "/tx/f", "/t", "/tx/f"},   {"/t/a/l", "../b/f", "/t", "../b/f"},
      {"/t/l", "/t/./b//f", "/t/", "b/f"},  {"/t/a/b/l", "/t/a", "/t", ".."},
  };
  for (auto const& c : cases)
    EXPECT_EQ(portable_link_text(c.link, c.text, c.root), c.expected) << c.text;
}

TEST(LinkCreation, Results) {
  test_support::TempDir temp;
  test_support::write_file(temp / "file", "x");
  fs::create_directory(temp / "dir");
  EXPECT_EQ(create_link_refusal("file", temp / "l1", false), 0);
  EXPECT_EQ(fs::read_symlink(temp / "l1"), "file");
  EXPECT_EQ(create_link_refusal("dir", temp / "dä-€", true), 0);
  EXPECT_TRUE(fs::is_directory(temp / "dä-€"));
  EXPECT_EQ(create_link_refusal("x", temp / "file", false),
            Utilities::FilesystemUtil::file_info_write_error);
  EXPECT_EQ(create_link_refusal("x", temp / "missing/l", false),
            Utilities::FilesystemUtil::file_not_exist);
}

TEST(LinkTrail, LoopOverlapDepthInThatOrder) {
  auto trail = LinkTrail::of_resolved("/data/t", fs::path("/mnt/u"));
  trail.enter_directory("a");
  struct Case {
    fs::path directory;
    FollowRefusal refusal;
  } const cases[] = {
      {"/data/t", loop},   {"/data/t/", loop},      {"/data", loop},    {"/", loop},
      {"/data/t/a", loop}, {"/data/t/a/b/c", none}, {"/data/tx", none}, {"/mnt/u/x", overlap},
      {"/mnt/u", overlap}, {"/mnt", overlap},       {"/mnt/ux", none},  {"/data/t/../t/a", loop},
  };
  for (auto const& c : cases) EXPECT_EQ(trail.refusal_of(c.directory), c.refusal) << c.directory;

  // Both a loop and an overlap: reported as a loop.
  auto nested = LinkTrail::of_resolved("/x/root", fs::path("/x"));
  EXPECT_EQ(nested.refusal_of("/x"), loop);
}

TEST(LinkTrail, EightLinkStepsAreTooDeepSevenAreNot) {
  auto trail = LinkTrail::of_resolved("/r");
  for (int i = 0; i < 7; ++i) trail.enter_resolved("/d" + std::to_string(i));
  trail.enter_directory("plain");
  EXPECT_EQ(trail.refusal_of("/new"), none);
  trail.enter_resolved("/d7");
  EXPECT_EQ(trail.refusal_of("/new"), too_deep);
  trail.leave();
  trail.leave();
  EXPECT_EQ(trail.refusal_of("/new"), none);
  EXPECT_EQ(trail.steps().size(), 8u);
  for (int i = 0; i < 20; ++i) trail.leave();
  ASSERT_EQ(trail.steps().size(), 1u);
  EXPECT_EQ(trail.steps()[0].directory, "/r");
}

TEST(LinkTrail, RefusalResolvesRealLinks) {
  test_support::TempDir temp;
  fs::create_directories(temp / "t/a/b/c");
  fs::create_directories(temp / "u/x");
  test_support::write_file(temp / "t/file", "x");
  fs::create_symlink(temp / "t", temp / "t/a/up");
  fs::create_symlink("b/c", temp / "t/a/down");
  fs::create_symlink(temp / "u/x", temp / "t/a/other");
  fs::create_symlink("nowhere", temp / "t/a/dangling");

  LinkTrail trail(temp / "t/a/..", temp / "u/.");
  trail.enter_directory("a");
  EXPECT_EQ(trail.refusal(temp / "t/a/up"), loop);
  EXPECT_EQ(trail.refusal(temp / "t/a/down"), none);
  EXPECT_EQ(trail.refusal(temp / "t/a/other"), overlap);
  EXPECT_EQ(trail.refusal(temp / "t/a/dangling"), unresolvable);
  EXPECT_EQ(trail.refusal(temp / "t/file"), unresolvable);

  trail.enter_link(temp / "t/a/down");
  EXPECT_EQ(trail.steps().back().directory, fs::canonical(temp / "t/a/b/c"));
  EXPECT_TRUE(trail.steps().back().link);
  EXPECT_EQ(trail.refusal(temp / "t/a/down"), loop);
}

}  // namespace
