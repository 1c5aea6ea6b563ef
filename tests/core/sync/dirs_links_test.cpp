// Links inside a directory item in link mode travel as links, and a second pass leaves them.
#include <gtest/gtest.h>

#include "dirs_fixture.h"

namespace {

using namespace dirs_test;

TEST_F(DirItem, LinksOfTheLevelArriveAsLinksInLinkMode) {
  test_support::write_file(src / "a.txt", "a");
  fs::create_directory_symlink("sub", src / "to-sub");
  fs::create_symlink("a.txt", src / "to-a");
  KVO_Core::SyncFlags flags;
  flags.symlinks = KVO_Core::SymlinkMode::AsLink;
  auto const it = item(flags);

  run(it);
  EXPECT_EQ(test_support::read_file(dst / "a.txt"), "a");
  ASSERT_TRUE(fs::is_symlink(dst / "to-a"));
  EXPECT_EQ(fs::read_symlink(dst / "to-a"), "a.txt");
  ASSERT_TRUE(fs::is_symlink(dst / "to-sub"));
  EXPECT_EQ(fs::read_symlink(dst / "to-sub"), "sub");

  auto const before = fs::symlink_status(dst / "to-a");
  run(it);
  EXPECT_TRUE(fs::is_symlink(dst / "to-a"));
  EXPECT_EQ(fs::symlink_status(dst / "to-a").type(), before.type());
  EXPECT_TRUE(report.errors.empty());
}

TEST_F(DirItem, APreviewOfLinksWritesNothing) {
  fs::create_symlink("elsewhere", src / "link");
  KVO_Core::SyncFlags flags;
  flags.symlinks = KVO_Core::SymlinkMode::AsLink;
  run(item(flags), KVO_Core::SyncType::Preview);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dst / "link")));
}

}  // namespace
