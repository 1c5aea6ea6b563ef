// Links met by a directory item: links into system areas counted and warned once while they
// last, and a link in the target where a file goes never written through.
#include "dirs_fixture.h"

namespace {

using namespace dirs_test;
using Utilities::LogLevel;

TEST(LinkTallyCount, FirstPathIsTheExampleAndAMoveEmptiesTheSource) {
  KVO_Core::LinkTally tally;
  tally.system.add(L"/a");
  tally.system.add(L"/b");
  tally.created.push_back(L"/c");
  KVO_Core::LinkTally moved;
  moved = std::move(tally);
  EXPECT_EQ(moved.system.count, 2u);
  EXPECT_EQ(moved.system.example, L"/a");
  EXPECT_EQ(tally.system.count, 0u);
  EXPECT_TRUE(tally.system.example.empty());
  EXPECT_TRUE(tally.created.empty());
}

TEST_F(DirItem, SystemLinksAreWarnedOnceWhileTheyLast) {
  put(src / "a.txt", "a", 0);
  fs::create_symlink("/dev/null", src / "null");
  fs::create_symlink("/dev/zero", src / "zero");
  KVO_Core::SyncFlags flags;
  LogLines log;
  RecordingSink sink;
  run(item(flags));
  run(item(flags));
  EXPECT_EQ(log.count(LogLevel::Warning, "system_links_skipped"), 1u);
  ASSERT_EQ(sink.notes.size(), 1u);
  EXPECT_NE(sink.notes[0].second.find("2 ("), std::string::npos);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dst / "null")));
  fs::remove(src / "null");
  fs::remove(src / "zero");
  run(item(flags));
  fs::create_symlink("/dev/null", src / "null");
  run(item(flags));
  EXPECT_EQ(log.count(LogLevel::Warning, "system_links_skipped"), 2u);
  EXPECT_TRUE(report.errors.empty());
}

TEST_F(DirItem, FollowModeNeverWritesThroughATargetLink) {
  put(src / "a.txt", "new", 100);
  put(dir / "outside.txt", "outside", 0);
  fs::create_symlink(dir / "outside.txt", dst / "a.txt");
  KVO_Core::SyncFlags flags;
  flags.symlinks = KVO_Core::SymlinkMode::Follow;
  LogLines log;
  run(item(flags));
  EXPECT_EQ(test_support::read_file(dir / "outside.txt"), "outside");
  EXPECT_TRUE(fs::is_symlink(dst / "a.txt"));
  EXPECT_EQ(log.count(LogLevel::Error, "target_is_link"), 1u);
  EXPECT_EQ(report.errors.size(), 1u);

  flags.syncDeletions = true;
  run(item(flags));
  EXPECT_EQ(test_support::read_file(dir / "outside.txt"), "outside");
  EXPECT_FALSE(fs::is_symlink(dst / "a.txt"));
  EXPECT_EQ(test_support::read_file(dst / "a.txt"), "new");
  EXPECT_EQ(log.count(LogLevel::Info, "target_link_replaced"), 1u);
}

TEST_F(DirItem, FollowOnATwoWayItemIsWarnedOnce) {
  put(src / "a.txt", "a", 0);
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  flags.symlinks = KVO_Core::SymlinkMode::Follow;
  LogLines log;
  run(item(flags));
  run(item(flags));
  EXPECT_EQ(log.count(LogLevel::Warning, "symlink_follow_needs_one_way"), 1u);
  EXPECT_EQ(test_support::read_file(dst / "a.txt"), "a");
}

}  // namespace
