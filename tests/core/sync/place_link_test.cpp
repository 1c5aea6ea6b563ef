// Placing a link when the final rename fails: what stood at the place is put back.
#include "core/sync/links/SyncLink.h"
#include "tree_fixture.h"

namespace {

using namespace tree_test;

TEST_F(TreeItem, FailedFinalRenameRestoresTheOccupant) {
  put(dst / "l", "occupant", 0);
  KVO_Core::SyncFlags flags;
  flags.symlinks = KVO_Core::SymlinkMode::AsLink;
  KVO_Core::SyncItem const pair(L"pair", KVO_Core::SyncItemType::Tree, w(src / "l"), w(dst / "l"),
                                L"", KVO_Core::Exclusions{}, flags, {});
  KVO_Core::LinkTally tally;
  KVO_Core::SyncLink job(pair, count, false, tally, nullptr, w(src), w(dst));
  KVO_Core::SyncReportGuard guard(&report);
  // The staged link is missing: the rename onto the place fails.
  EXPECT_FALSE(job.put_in_place(w(dst / "l.kvo-link"), job.target));
  EXPECT_EQ(snapshot(dst), (Tree{{"l", "occupant"}}));
  EXPECT_EQ(report.errors.size(), 1u);
}

TEST_F(TreeItem, ParkingNeverReplacesAnExistingName) {
  put(dst / "l", "occupant", 0);
  put(dst / "l.bak", "one", 0);
  put(dst / "l.bak1", "two", 0);
  fs::create_symlink("nowhere", dst / "l.bak2");  // a dangling link takes the name too
  KVO_Core::SyncItem const pair(L"pair", KVO_Core::SyncItemType::Tree, w(src / "l"), w(dst / "l"),
                                L"", KVO_Core::Exclusions{}, KVO_Core::SyncFlags{}, {});
  KVO_Core::LinkTally tally;
  KVO_Core::SyncLink job(pair, count, false, tally, nullptr, w(src), w(dst));
  auto const parked = job.park(job.target);
  ASSERT_TRUE(parked);
  EXPECT_EQ(*parked, w(dst / "l.bak3"));
  EXPECT_EQ(test_support::read_file(dst / "l.bak3"), "occupant");
  EXPECT_EQ(test_support::read_file(dst / "l.bak"), "one");
}

}  // namespace
