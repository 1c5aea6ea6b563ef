// The process-wide once-marks and the progress channel are used from every controller thread.
#include <thread>
#include <vector>

#include "core/sync/SyncBase.h"
#include "engine_fixture.h"

namespace {

TEST(MarksConcurrency, EachKeyIsReportedByExactlyOneThread) {
  std::atomic<int> first{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i)
        if (KVO_Core::SyncBase::mark_refused(L"concurrency|" + std::to_wstring(i))) ++first;
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(first.load(), 200);
  for (int i = 0; i < 200; ++i)
    KVO_Core::SyncBase::clear_refused(L"concurrency|" + std::to_wstring(i));
  EXPECT_TRUE(KVO_Core::SyncBase::mark_refused(L"concurrency|0"));
  KVO_Core::SyncBase::clear_refused(L"concurrency|0");
}

TEST(MarksConcurrency, ProgressFromManyThreadsReachesTheSink) {
  engine_test::RecordingSink sink;
  std::atomic<std::uint64_t> seen{0};
  sink.on_bytes = [&](std::uint64_t bytes) { seen += bytes; };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) KVO_Core::RunContext::report_copied_bytes(1);
      EXPECT_TRUE(KVO_Core::RunContext::stopping());
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(seen.load(), 4000u);
}

}  // namespace
