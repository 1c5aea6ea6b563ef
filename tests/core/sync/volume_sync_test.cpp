// A state must not remember new files whose data may not be on disk yet: the folders where a
// pass placed new files without a data sync of their own are synced before the state is written.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/sync/state/VolumeSync.h"
#include "dirs_fixture.h"

using namespace dirs_test;

namespace {

class VolumeSync : public DirItem {
 protected:
  std::set<std::wstring> placed_unsynced(std::vector<std::wstring> const& names) {
    KVO_Core::SyncFlags flags;
    flags.twoWaySync = true;
    KVO_Core::SyncState state(w(src), w(dst));
    KVO_Core::SyncReportGuard guard(&report);
    OrderedWalk(item(flags), count, false, &state, names)();
    return state.unsynced_folders;
  }
};

TEST_F(VolumeSync, NewFilesOnEitherSideLeaveTheirFolderToSyncAndReplacedOnesDoNot) {
  put(src / "new.txt", "only in the source", 0);
  put(dst / "back.txt", "only in the target", 0);
  put(src / "old.txt", "newer source", 100);
  put(dst / "old.txt", "older target", 0);
  EXPECT_EQ(placed_unsynced({L"new.txt", L"back.txt"}), (std::set<std::wstring>{w(dst), w(src)}));
  EXPECT_EQ(test_support::read_file(dst / "new.txt"), "only in the source");
  EXPECT_EQ(test_support::read_file(src / "back.txt"), "only in the target");
  // A replacement is synced before it takes the old file's name.
  EXPECT_TRUE(placed_unsynced({L"old.txt"}).empty());
  EXPECT_EQ(test_support::read_file(dst / "old.txt"), "newer source");
}

TEST_F(VolumeSync, FoldersThatAreGoneAreSyncedThroughTheirParents) {
  fs::create_directories(dst / "kept");
  std::set<std::wstring> const folders = {w(dst / "kept"), w(dst / "gone/deeper"), w(src / "gone"),
                                          L"/dev/shm/never-made-by-the-tests"};
  std::wstring failure;
  EXPECT_TRUE(KVO_Core::sync_volumes_of(folders, failure));
  EXPECT_TRUE(failure.empty());
}

TEST_F(VolumeSync, ATwoWayPassStillWritesItsStateAfterPlacingNewFiles) {
  put(src / "a.txt", "alpha", 0);
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  run(item(flags));
  EXPECT_EQ(state_keys(), std::vector<std::wstring>{L"a.txt"});
}

}  // namespace
