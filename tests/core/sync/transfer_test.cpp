// The first transfer through real passes of file items: staged, verified, stamped, and leaving
// the old destination untouched on a stop or a failure.
#include <sys/stat.h>

#include "core/config/Config.h"
#include "core/run/SyncReport.h"
#include "core/sync/SyncFile.h"
#include "engine_fixture.h"

namespace {

using namespace engine_test;
using KVO_Core::SyncFlags;
using KVO_Core::SyncItemType;

class Transfer : public testing::Test {
 protected:
  Transfer() : override_(stop_) {
    KVO_Core::Config::instance()->settings.update(
        [](auto& s) { s.DeleteMode = KVO_Core::DeleteMode::Permanent; });
  }

  void pass(KVO_Core::SyncItem const& item, bool target_is_dir = false) {
    KVO_Core::SyncReportGuard guard(&report);
    KVO_Core::SyncFile(item, count, false, target_is_dir, nullptr, L"", L"")();
  }

  test_support::TempDir dir;
  std::atomic<bool> stop_{false};
  KVO_Core::RunContext::StopOverride override_;
  KVO_Core::SyncReport report;
  std::uint64_t count = 0;
};

TEST_F(Transfer, CopyArrivesWithBytesModeAndTime) {
  put(dir / "src/a.txt", std::string(2500000, 'q'), 12.345678901);
  fs::permissions(dir / "src/a.txt", fs::perms::owner_read | fs::perms::group_read);
  put(dir / "dst/a.txt", "old", 0);
  pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {}));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), std::string(2500000, 'q'));
  EXPECT_EQ(fs::last_write_time(dir / "dst/a.txt"), at(12.345678901));
  EXPECT_EQ(fs::status(dir / "dst/a.txt").permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::group_read);
  EXPECT_FALSE(fs::exists(dir / "dst/a.txt.kvo-part"));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(report.copied_bytes, 2500000u);
  EXPECT_TRUE(report.errors.empty());
}

TEST_F(Transfer, StopInTheMiddleLeavesTheOldTarget) {
  put(dir / "src/a.txt", std::string(3 << 20, 'n'), 10);
  put(dir / "dst/a.txt", "old", 0);
  RecordingSink sink;
  sink.on_bytes = [&](std::uint64_t) { stop_ = true; };
  LogLines log;
  pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {}));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "old");
  EXPECT_EQ(fs::last_write_time(dir / "dst/a.txt"), at(0));
  EXPECT_FALSE(fs::exists(dir / "dst/a.txt.kvo-part"));
  EXPECT_EQ(log.count(Utilities::LogLevel::Info, "copy_cancelled"), 1u);
  EXPECT_EQ(count, 0u);
}

TEST_F(Transfer, FileIntoATargetFolderKeepsItsName) {
  put(dir / "src/a.txt", "abc", 0);
  fs::create_directories(dir / "dst");
  pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst", {}), true);
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "abc");
}

TEST_F(Transfer, ReplacedTargetBecomesTheNextGeneration) {
  put(dir / "src/a.txt", "new", 10);
  put(dir / "dst/a.txt", "old", 0);
  put(dir / "dst/a.txt.bak.4", "older", 0);
  SyncFlags flags;
  flags.fatherSonPrinciple = true;
  pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", flags));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "new");
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt.bak.5"), "old");
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt.bak.4"), "older");
}

TEST_F(Transfer, TargetLinkIsReplacedNeverWrittenThrough) {
  put(dir / "outside.txt", "outside", 0);
  fs::permissions(dir / "outside.txt", fs::perms::owner_read | fs::perms::owner_write);
  put(dir / "src/a.txt", "new", 10);
  fs::create_directories(dir / "dst");
  fs::create_symlink(dir / "outside.txt", dir / "dst/a.txt");
  pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {}));
  EXPECT_EQ(test_support::read_file(dir / "outside.txt"), "outside");
  EXPECT_EQ(fs::status(dir / "outside.txt").permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(fs::is_symlink(dir / "dst/a.txt"));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "new");
}

TEST_F(Transfer, TargetChangedSinceTheComparisonIsKept) {
  put(dir / "src/a.txt", std::string(3 << 20, 's'), 10);
  put(dir / "dst/a.txt", "old", 0);
  RecordingSink sink;
  bool changed = false;
  sink.on_bytes = [&](std::uint64_t) {
    if (!changed) put(dir / "dst/a.txt", "user edit", 20);
    changed = true;
  };
  pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {}));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "user edit");
  EXPECT_FALSE(fs::exists(dir / "dst/a.txt.kvo-part"));
  ASSERT_EQ(report.errors.size(), 1u);
}

// Small files pass through one buffer and are verified against it, larger ones are copied in the
// kernel and read again: both end alike.
TEST_F(Transfer, NewFileArrivesWithModeAndTimeOverALeftoverLink) {
  for (std::size_t const size :
       {std::size_t{1}, std::size_t{1} << 20, (std::size_t{1} << 20) + 1}) {
    SCOPED_TRACE(size);
    test_support::TempDir case_dir;
    fs::path const root = case_dir.path();
    put(root / "outside.txt", "outside", 0);
    put(root / "src/a.txt", std::string(size, 'b'), 12.5);
    fs::permissions(root / "src/a.txt", fs::perms::owner_read | fs::perms::group_read);
    fs::create_directories(root / "dst");
    // A killed copy's staging name left as a link: replaced, never written through.
    fs::create_symlink(root / "outside.txt", root / "dst/a.txt.kvo-part");
    report = KVO_Core::SyncReport{};
    pass(make_item(SyncItemType::File, root / "src/a.txt", root / "dst/a.txt", {}));
    EXPECT_EQ(test_support::read_file(root / "dst/a.txt"), std::string(size, 'b'));
    EXPECT_EQ(fs::last_write_time(root / "dst/a.txt"), at(12.5));
    EXPECT_EQ(fs::status(root / "dst/a.txt").permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::group_read);
    EXPECT_EQ(test_support::read_file(root / "outside.txt"), "outside");
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "dst/a.txt.kvo-part")));
    EXPECT_TRUE(report.errors.empty());
  }
  EXPECT_EQ(count, 3u);
}

TEST_F(Transfer, DirectoryCreationFailureIsReported) {
  put(dir / "file", "x", 0);
  auto const item = make_item(SyncItemType::Tree, dir / "src", dir / "file/below", {});
  KVO_Core::SyncReportGuard guard(&report);
  KVO_Core::SyncFile job(item, count, false, false, nullptr, L"", L"");
  EXPECT_FALSE(job.create_target_dir_if_not_exist(L""));
  EXPECT_EQ(report.errors.size(), 1u);
  KVO_Core::SyncFile dry(item, count, true, false, nullptr, L"", L"");
  EXPECT_TRUE(dry.create_target_dir_if_not_exist(w(dir / "made")));
  EXPECT_FALSE(fs::exists(dir / "made"));
  EXPECT_TRUE(job.create_target_dir_if_not_exist(w(dir / "made/deep")));
  EXPECT_TRUE(fs::is_directory(dir / "made/deep"));
}

}  // namespace
