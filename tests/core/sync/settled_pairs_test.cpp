// Pairs found equal by reading are not read again while both files are unchanged; a rewrite that
// keeps size and time is still found, also where the change time cannot be trusted.
#include "core/sync/decide/SettledPairs.h"

#include <cstdlib>

#include "settled_clock.h"
#include "support/scoped_mount.h"
#include "transfer_fixture.h"
#include "utilities/FilesystemUtil.h"

namespace {

using namespace transfer_test;
using namespace std::chrono_literals;
using KVO_Core::SettledPairs;
using KVO_Core::SyncItemType;
using Utilities::FilesystemUtil::ChangeStamp;

class SettledPairsTest : public TransferPass {
 protected:
  SettledClockAhead clock_ahead;

  static ChangeStamp stamp(fs::path const& file) {
    ChangeStamp result;
    std::uint64_t size = 0;
    fs::file_time_type mtime;
    Utilities::FilesystemUtil::fileinfo(w(file), size, mtime, &result);
    return result;
  }

  bool remembered(fs::path const& root) {
    return SettledPairs::instance().known_equal(L"item", stamp(root / "src/a.txt"),
                                                stamp(root / "dst/a.txt"));
  }

  // An equal pair, compared; then the source rewritten with other bytes of the same size and its
  // time put back: the next pass must find and copy the change.
  void rewrite_keeping_size_and_time_is_found(fs::path const& root, bool remember) {
    put(root / "src/a.txt", "first", 10);
    put(root / "dst/a.txt", "first", 10);
    auto const item = make_item(SyncItemType::File, root / "src/a.txt", root / "dst/a.txt", {});
    pass(item);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(remembered(root), remember);

    test_support::write_file(root / "src/a.txt", "other");
    std::string const touch =
        "touch -d @" + std::to_string(T0 + 10) + " '" + (root / "src/a.txt").string() + "'";
    ASSERT_EQ(std::system(touch.c_str()), 0);
    ASSERT_EQ(fs::last_write_time(root / "src/a.txt"), at(10));
    pass(item);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(test_support::read_file(root / "dst/a.txt"), "other");
    EXPECT_TRUE(report.errors.empty());
  }
};

TEST_F(SettledPairsTest, ARewriteKeepingSizeAndTimeIsFoundWhereTheChangeTimeIsKept) {
  test_support::ScopedTmpfs mount(dir / "vol", "size=1m");
  ASSERT_TRUE(mount.ok()) << mount.error();
  rewrite_keeping_size_and_time_is_found(dir / "vol", true);
}

TEST_F(SettledPairsTest, ARewriteKeepingSizeAndTimeIsFoundOnAFatImage) {
  test_support::ScopedFuseFat mount(dir / "fat");
  ASSERT_TRUE(mount.error().empty()) << mount.error();
  rewrite_keeping_size_and_time_is_found(dir / "fat", false);
}

TEST_F(SettledPairsTest, PairsJustWrittenOrCopiedAreReadAgain) {
  SettledPairs::instance().set_clock(SettledPairs::Clock::now);
  put(dir / "src/a.txt", "first", 10);
  put(dir / "dst/a.txt", "first", 10);
  auto const item = make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {});
  pass(item);
  EXPECT_FALSE(remembered(dir.path()));

  put(dir / "src/a.txt", "second", 20);
  pass(item);
  EXPECT_EQ(count, 1u);
  pass(item);
  EXPECT_FALSE(remembered(dir.path()));
}

}  // namespace
