// The local block copy and the reports of failed and refused copies.
#include "core/sync/transfer/LocalBlockCopy.h"
#include "support/scoped_mount.h"
#include "transfer_fixture.h"

namespace {

using namespace transfer_test;
using KVO_Core::CopyFailure;
using KVO_Core::CopyResult;
using KVO_Core::SyncItemType;
namespace fsu = Utilities::FilesystemUtil;

class BlockCopy : public TransferPass {
 protected:
  std::vector<std::uint64_t> totals;
  RecordingSink sink;
  BlockCopy() {
    sink.on_bytes = [this](std::uint64_t total) { totals.push_back(total); };
  }
};

TEST_F(BlockCopy, ReportsTheRunningTotalAfterEveryChunk) {
  struct Case {
    std::size_t size;
    std::vector<std::uint64_t> totals;
  };
  for (Case const& c : {Case{0, {}}, Case{1, {1}}, Case{2621440, {1048576, 2097152, 2621440}}}) {
    totals.clear();
    put(dir / "from", std::string(c.size, 'x'), 0);
    fs::remove(dir / "to");
    CopyFailure failure;
    EXPECT_EQ(KVO_Core::block_copy(w(dir / "from"), w(dir / "to"), failure), CopyResult::Done);
    EXPECT_EQ(totals, c.totals) << c.size;
    EXPECT_EQ(test_support::read_file(dir / "to"), std::string(c.size, 'x'));
    EXPECT_EQ(failure.reason, 0);
  }
}

TEST_F(BlockCopy, StopAfterTheFirstChunkCancels) {
  put(dir / "from", std::string(3 << 20, 'x'), 0);
  sink.on_bytes = [this](std::uint64_t total) {
    totals.push_back(total);
    stop_ = true;
  };
  CopyFailure failure;
  EXPECT_EQ(KVO_Core::block_copy(w(dir / "from"), w(dir / "to"), failure), CopyResult::Cancelled);
  EXPECT_EQ(totals, std::vector<std::uint64_t>{1048576});
  EXPECT_EQ(fs::file_size(dir / "to"), 1048576u);
}

TEST_F(BlockCopy, FailuresNameTheirReasonAndPath) {
  CopyFailure failure;
  put(dir / "from", "x", 0);
  EXPECT_EQ(KVO_Core::block_copy(w(dir / "missing"), w(dir / "to"), failure), CopyResult::Failed);
  EXPECT_EQ(failure.reason, fsu::file_not_exist);
  EXPECT_TRUE(failure.message.ends_with(L": " + w(dir / "missing")));
  // Never written through a link, never onto an existing file.
  fs::create_symlink(dir / "elsewhere", dir / "link");
  EXPECT_EQ(KVO_Core::block_copy(w(dir / "from"), w(dir / "link"), failure), CopyResult::Failed);
  EXPECT_FALSE(fs::exists(dir / "elsewhere"));
  fs::create_directories(dir / "closed");
  fs::permissions(dir.path(), fs::perms::all);
  fs::permissions(dir / "closed", fs::perms::owner_all | fs::perms::others_exec);
  ::chmod((dir / "from").c_str(), 0644);
  int const status = test_support::run_as_nobody([&]() -> int {
    CopyFailure denied;
    if (KVO_Core::block_copy(w(dir / "from"), w(dir / "closed/to"), denied) != CopyResult::Failed)
      return 1;
    if (denied.reason != fsu::permission_denied) return 2;
    return denied.message.ends_with(L": " + w(dir / "closed/to")) ? 0 : 3;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(TransferPass, FailedCopyLineHasParenthesesOnlyWithAMessage) {
  put(dir / "src/a.txt", "a", 10);
  KVO_Core::SyncItem const item =
      make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {});
  KVO_Core::SyncReportGuard guard(&report);
  KVO_Core::SyncFile job(item, count, false, false, nullptr, L"", L"");
  job.failure = {fsu::file_locked, L""};
  job.report_failed_copy(L"/s/a", L"/t/a");
  job.failure = {fsu::file_locked, L"busy: /t/a"};
  job.report_failed_copy(L"/s/a", L"/t/a");
  ASSERT_EQ(report.errors.size(), 2u);
  std::wstring const base = Utilities::translation::translate("copy_failed_for") + L"/s/a -> /t/a";
  EXPECT_EQ(report.errors[0], base);
  EXPECT_EQ(report.errors[1], base + L" (busy: /t/a)");
}

}  // namespace
