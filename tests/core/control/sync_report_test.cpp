// The per-run report: the cap, abandoning, the merged shortage line, hints and reach.
#include "core/run/SyncReport.h"

#include <gtest/gtest.h>

#include "core/control/Synchronize.h"
#include "utilities/Translation.h"

namespace {

using namespace KVO_Core;
using Utilities::FilesystemUtil::FileInfoResult;

TEST(SyncReport, KeepsAHundredLinesAndOneCapLine) {
  SyncReport report;
  SyncReportGuard guard(&report);
  for (int i = 0; i < 150; ++i) report_sync_error(L"line " + std::to_wstring(i));
  ASSERT_EQ(report.errors.size(), 101u);
  EXPECT_EQ(report.errors[99], L"line 99");
  EXPECT_EQ(report.errors[100], Utilities::translation::translate("error_list_capped"));
}

TEST(SyncReport, PlaceReasonsAbandonOnceAndOthersDoNot) {
  SyncReport report;
  SyncReportGuard guard(&report);
  report_sync_refusal(L"conflict", FileInfoResult::file_conflict);
  report_sync_refusal(L"lost", FileInfoResult::connection_lost);
  EXPECT_FALSE(sync_abandoned());
  report_sync_refusal(L"login", FileInfoResult::authentication_failed);
  EXPECT_TRUE(sync_abandoned());
  report_sync_refusal(L"again", FileInfoResult::authentication_failed);
  ASSERT_EQ(report.errors.size(), 3u);
  EXPECT_EQ(report.errors[2],
            L"login " + Utilities::translation::translate("remaining_files_skipped"));
}

TEST(SyncReport, AbandonedRunStopsTheThreadUnlessOverridden) {
  Synchronize::set_stop(false);
  SyncReport report;
  {
    SyncReportGuard guard(&report);
    EXPECT_FALSE(Synchronize::stopping());
    report_sync_refusal(L"read-only", FileInfoResult::filesystem_read_only);
    EXPECT_TRUE(Synchronize::stopping());
    std::atomic<bool> go_on{false};
    Synchronize::StopOverride override(go_on);
    EXPECT_FALSE(Synchronize::stopping());
  }
  EXPECT_FALSE(Synchronize::stopping());
  Synchronize::set_stop(true);
}

TEST(SyncReport, ShortagesShareOneLine) {
  SyncReport report;
  SyncReportGuard guard(&report);
  report_sync_shortage(L"/t/a", 1234567, 1000000, FileInfoResult::disk_full);
  std::wstring const reason =
      Utilities::FilesystemUtil::make_error_message(FileInfoResult::disk_full);
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(report.errors[0],
            reason + L": /t/a (" +
                Utilities::translation::translate("disk_full_needs", {L"1.2 MB", L"1.0 MB"}) +
                L")");
  report_sync_shortage(L"/t/b", 2000000, 0, FileInfoResult::remote_storage_full);
  report_sync_shortage(L"/t/c", 3000000, 0, FileInfoResult::disk_full);
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(report.errors[0],
            reason + L": " +
                Utilities::translation::translate("disk_full_files", {L"3", L"6.2 MB", L"/t/a"}));
}

TEST(SyncReport, ShortageBeyondTheCapOnlyCounts) {
  SyncReport report;
  SyncReportGuard guard(&report);
  for (int i = 0; i < 100; ++i) report_sync_error(L"x");
  report_sync_shortage(L"/t/a", 1, 0, FileInfoResult::disk_full);
  report_sync_shortage(L"/t/b", 1, 0, FileInfoResult::disk_full);
  EXPECT_FALSE(report.shortage_line);
  EXPECT_EQ(report.shortage_count, 2u);
  EXPECT_EQ(report.errors.back(), Utilities::translation::translate("error_list_capped"));
}

TEST(SyncReport, HintsCountAndKeepTheFirstExampleInIdOrder) {
  SyncReport report;
  SyncReportGuard guard(&report);
  report_sync_hint("special_files_skipped", L"/a/fifo");
  report_sync_hint("special_files_skipped", L"/a/other");
  report_sync_hint("file_times_not_supported", L"/b/x");
  auto const lines = report.hint_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], Utilities::translation::translate("file_times_not_supported") + L" 1 (/b/x)");
  EXPECT_EQ(lines[1], Utilities::translation::translate("special_files_skipped") + L" 2 (/a/fifo)");
}

TEST(SyncReport, NestedGuardsAndNoReport) {
  report_sync_error(L"nowhere");
  report_sync_volume(5);
  EXPECT_FALSE(sync_abandoned());
  SyncReport outer, inner;
  SyncReportGuard a(&outer);
  {
    SyncReportGuard b(&inner);
    report_sync_volume(7);
  }
  report_sync_volume(1);
  EXPECT_EQ(inner.copied_bytes, 7u);
  EXPECT_EQ(outer.copied_bytes, 1u);
}

TEST(SyncReport, ReachAndMegabytes) {
  struct Case {
    int reason;
    FailureReach reach;
  };
  for (Case c : {Case{0, FailureReach::FileOnly}, Case{12, FailureReach::Space},
                 Case{13, FailureReach::Place}, Case{14, FailureReach::Capability},
                 Case{20, FailureReach::FileOnly}, Case{25, FailureReach::Space},
                 Case{31, FailureReach::Capability}, Case{32, FailureReach::Place},
                 Case{37, FailureReach::FileOnly}})
    EXPECT_EQ(reach_of(static_cast<FileInfoResult>(c.reason)), c.reach) << c.reason;
  EXPECT_EQ(megabytes(0), L"0.0 MB");
  EXPECT_EQ(megabytes(1234567), L"1.2 MB");
  EXPECT_EQ(megabytes(3000000000ull), L"3000.0 MB");
  EXPECT_EQ(megabytes(18446744073709551615ull), L"18446744073709.6 MB");
}

}  // namespace
