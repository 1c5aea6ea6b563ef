// Setting times with retries and the read-back wait, against an injected file system and pause;
// the reports of times and rights that could not be set.
#include <thread>

#include "core/sync/transfer/FileTimes.h"
#include "core/sync/transfer/OpenRights.h"
#include "transfer_fixture.h"

namespace {

using namespace transfer_test;
using KVO_Core::TimeAccess;
using Utilities::LogLevel;
namespace fsu = Utilities::FilesystemUtil;
using namespace std::chrono_literals;

// A file system that refuses a number of writes and reads back a chosen time.
struct FakeTimes {
  int refusals = 0;
  fsu::FileInfoResult reason = fsu::file_info_write_error;
  std::function<fs::file_time_type(fs::file_time_type)> reads = [](auto t) { return t; };
  std::chrono::nanoseconds step = 1ns;
  int writes = 0;
  int pauses = 0;
  fs::file_time_type stored{};

  TimeAccess access() {
    return {[this](fs::path const&, fs::file_time_type const& t) {
              ++writes;
              if (writes <= refusals) return reason;
              stored = t;
              return fsu::no_failure;
            },
            [this](fs::path const&, std::error_code&) { return reads(stored); },
            [this](std::chrono::milliseconds pause) {
              EXPECT_EQ(pause, 100ms);
              ++pauses;
            },
            [this](fs::path const&) { return step; }};
  }
};

TEST_F(TransferPass, SettingATimeRetriesExceptForReadOnlyAndUnsupported) {
  struct Case {
    int refusals;
    fsu::FileInfoResult reason;
    fsu::FileInfoResult expected;
    int writes;
    int pauses;
  };
  for (Case const& c : {Case{0, fsu::no_failure, fsu::no_failure, 1, 0},
                        Case{3, fsu::file_locked, fsu::no_failure, 4, 3},
                        Case{99, fsu::file_locked, fsu::file_locked, 10, 10},
                        Case{99, fsu::filesystem_read_only, fsu::filesystem_read_only, 1, 0},
                        Case{99, fsu::unsupported_operation, fsu::unsupported_operation, 1, 0}}) {
    FakeTimes fake;
    fake.refusals = c.refusals;
    fake.reason = c.reason;
    EXPECT_EQ(KVO_Core::set_last_write_time("f", at(1), false, fake.access()), c.expected);
    EXPECT_EQ(fake.writes, c.writes) << c.refusals << " " << c.reason;
    EXPECT_EQ(fake.pauses, c.pauses) << c.refusals << " " << c.reason;
  }
  FakeTimes stopped;
  stopped.refusals = 99;
  stop_ = true;
  EXPECT_EQ(KVO_Core::set_last_write_time("f", at(1), true, stopped.access()), 0);
  EXPECT_EQ(stopped.writes, 1);
}

TEST_F(TransferPass, ReadBackWaitEndsAtOnceOrWithinTheFileSystemsStep) {
  FakeTimes at_once;
  EXPECT_EQ(KVO_Core::set_last_write_time("f", at(1.5), true, at_once.access()), 0);
  EXPECT_EQ(at_once.pauses, 0);

  // FAT keeps two-second steps: a time cut to its step is as good as it gets.
  FakeTimes fat;
  fat.step = 2s;
  fat.reads = [](auto) { return at(0); };
  EXPECT_EQ(KVO_Core::set_last_write_time("f", at(1.5), true, fat.access()), 0);
  EXPECT_EQ(fat.pauses, 0);

  FakeTimes never;
  never.reads = [](auto t) { return t + 1ms; };
  LogLines log;
  KVO_Core::set_last_write_time("f", at(1.5), true, never.access());
  EXPECT_EQ(never.pauses, 101);
  EXPECT_EQ(never.writes, 1 + 9);
  EXPECT_EQ(log.count(LogLevel::Info, "wait_for_updated_filetime: "), 9u);
}

TEST_F(TransferPass, TimeRefusalsAreHintsForUnsupportedAndErrorsOtherwise) {
  KVO_Core::SyncReportGuard guard(&report);
  KVO_Core::SyncFile job(make_item(KVO_Core::SyncItemType::File, dir / "a", dir / "b", {}), count,
                         false, false, nullptr, L"", L"");
  LogLines log;
  EXPECT_FALSE(job.time_refused(L"/t/x", fsu::no_failure));
  EXPECT_TRUE(job.time_refused(L"/t/x", fsu::unsupported_operation));
  EXPECT_TRUE(job.time_refused(L"/t/y", fsu::unsupported_operation));
  EXPECT_EQ(report.hints["file_times_not_supported"].count, 2u);
  EXPECT_EQ(report.hints["file_times_not_supported"].example, L"/t/x");
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(log.count(LogLevel::Info, "/t/x ("), 1u);
  EXPECT_TRUE(job.time_refused(L"/t/z", fsu::file_locked));
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(report.errors[0], Utilities::translation::translate("file_time_not_settable") +
                                  L"/t/z (" + fsu::make_error_message(fsu::file_locked) + L")");
  EXPECT_EQ(job.time_unkept, (std::set<std::wstring>{L"/t/x", L"/t/y", L"/t/z"}));
}

TEST_F(TransferPass, RightsThatFailedAreCarriedAgainOnTheNextEqualPass) {
  put(dir / "src/a.txt", "same", 10);
  put(dir / "dst/a.txt", "same", 10);
  ::chmod((dir / "src/a.txt").c_str(), 0640);
  ::chmod((dir / "dst/a.txt").c_str(), 0600);
  std::wstring const target = w(dir / "dst/a.txt");
  KVO_Core::OpenRights::insert(target);
  pass(make_item(KVO_Core::SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {}));
  EXPECT_EQ(mode_of(dir / "dst/a.txt"), 0640u);
  EXPECT_FALSE(KVO_Core::OpenRights::open(target));
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(count, 0u);
}

TEST(OpenRightsConcurrency, ThreadsShareTheSetSafely) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      std::wstring const path = L"/concurrency/" + std::to_wstring(t);
      for (int i = 0; i < 1000; ++i) {
        KVO_Core::OpenRights::insert(path);
        EXPECT_TRUE(KVO_Core::OpenRights::open(path));
        KVO_Core::OpenRights::erase(path);
        EXPECT_FALSE(KVO_Core::OpenRights::open(path));
      }
    });
  for (auto& thread : threads) thread.join();
}

}  // namespace
