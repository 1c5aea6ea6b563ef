// A target folder replaced by another of its name while the walk is inside it: the walk's file
// jobs look names up in the folder it opened, but what they write or remove is the path's. A
// file in the new folder that the engine never compared is neither replaced nor removed.
#include "tree_fixture.h"

namespace {

using namespace tree_test;

TEST_F(TreeItem, FolderReplacedDuringTheWalkKeepsTheNewFoldersFiles) {
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  put(src / "sub/gone.txt", "deleted on the source next", 0);
  put(src / "sub/kept.txt", "as it was", 0);
  run(item(flags));
  ASSERT_EQ(snapshot(src), snapshot(dst));

  fs::remove(src / "sub/gone.txt");
  put(src / "sub/big.bin", std::string(3 << 20, 'b'), 5);
  RecordingSink sink;
  bool replaced = false;
  sink.on_bytes = [&](std::uint64_t) {
    if (replaced) return;
    replaced = true;
    fs::rename(dst / "sub", dst / "sub-before");
    put(dst / "sub/gone.txt", "made in the new folder", 20);
    put(dst / "sub/kept.txt", "made in the new folder too", 0);
  };
  run(item(flags));
  ASSERT_TRUE(replaced);
  EXPECT_EQ(test_support::read_file(dst / "sub/gone.txt"), "made in the new folder");
  EXPECT_EQ(test_support::read_file(dst / "sub/kept.txt"), "made in the new folder too");
  EXPECT_EQ(test_support::read_file(dst / "sub-before/kept.txt"), "as it was");
  EXPECT_EQ(test_support::read_file(src / "sub/kept.txt"), "as it was");
}

}  // namespace
