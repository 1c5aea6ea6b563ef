// The foreground/background arbiter on real lock files (flock locks exclude each other between
// two descriptors of one process just as between processes).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "core/control/SyncArbiter.h"
#include "support/temp_dir.h"

using namespace KVO_Core;
using namespace std::chrono_literals;

namespace {

class Arbiter : public ::testing::Test {
 protected:
  void SetUp() override { SyncArbiter::set_timing(20ms, 300ms); }
  void TearDown() override { SyncArbiter::set_timing(200ms, 60000ms); }
  test_support::TempDir home;
  test_support::ScopedEnv env{"HOME", home.path().c_str()};
  std::atomic<bool> no_stop{false};
};

TEST_F(Arbiter, BackgroundAcquiresAtOnceAndLeavesAPrivateLockFile) {
  SyncArbiter background(SyncRole::Background);
  ASSERT_TRUE(background.acquire(no_stop));
  EXPECT_TRUE(background.acquire(no_stop));  // twice without release
  background.release();
  background.release();  // release without hold does nothing
  auto lock = SyncArbiter::lock_path(SyncRole::Background);
  EXPECT_EQ(lock.filename(), "sync-background.lock");
  struct stat st {};
  ASSERT_EQ(::stat(lock.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Arbiter, BackgroundWaitsForForegroundWithoutHoldingItsLock) {
  SyncArbiter foreground(SyncRole::Foreground);
  ASSERT_TRUE(foreground.acquire(no_stop));

  SyncArbiter background(SyncRole::Background);
  std::atomic<bool> got{false};
  std::thread waiter([&] { got = background.acquire(no_stop); });
  std::this_thread::sleep_for(150ms);
  EXPECT_FALSE(got.load());
  // A waiting background side holds no lock, so another foreground sees no pass running.
  SyncArbiter probe(SyncRole::Foreground);
  EXPECT_FALSE(probe.other_side_active());

  foreground.release();
  waiter.join();
  EXPECT_TRUE(got.load());
  EXPECT_TRUE(probe.other_side_active());
}

TEST_F(Arbiter, StopEndsTheBackgroundWait) {
  SyncArbiter foreground(SyncRole::Foreground);
  ASSERT_TRUE(foreground.acquire(no_stop));
  SyncArbiter background(SyncRole::Background);
  std::atomic<bool> stop{false};
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = background.acquire(stop) ? 1 : 0; });
  std::this_thread::sleep_for(60ms);
  stop = true;
  waiter.join();
  EXPECT_EQ(result.load(), 0);
}

TEST_F(Arbiter, ForegroundWaitsForARunningPassThenGivesUp) {
  SyncArbiter background(SyncRole::Background);
  ASSERT_TRUE(background.acquire(no_stop));
  SyncArbiter foreground(SyncRole::Foreground);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(foreground.acquire(no_stop));  // after the (shortened) give-up time
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

TEST_F(Arbiter, SecondBackgroundInstanceWaitsForTheFirst) {
  SyncArbiter first(SyncRole::Background);
  ASSERT_TRUE(first.acquire(no_stop));
  SyncArbiter second(SyncRole::Background);
  std::atomic<bool> got{false};
  std::thread waiter([&] { got = second.acquire(no_stop); });
  std::this_thread::sleep_for(150ms);
  EXPECT_FALSE(got.load());
  first.release();
  waiter.join();
  EXPECT_TRUE(got.load());
}

TEST_F(Arbiter, ProbingNeverMakesAForegroundPublishFail) {
  // A background side probes the foreground lock over and over while a foreground publishes.
  for (int i = 0; i < 30; ++i) {
    std::atomic<bool> done{false};
    std::thread prober([&] {
      SyncArbiter background(SyncRole::Background);
      while (!done) background.other_side_active();
    });
    SyncArbiter foreground(SyncRole::Foreground);
    foreground.publish_active();
    done = true;
    prober.join();
    SyncArbiter check(SyncRole::Background);
    EXPECT_TRUE(check.other_side_active()) << "attempt " << i;
  }
}

TEST_F(Arbiter, PrivateScopeUsesTheTemporaryFolder) {
  SyncArbiter::use_private_scope();
  auto lock = SyncArbiter::lock_path(SyncRole::Foreground);
  EXPECT_EQ(lock.parent_path(), std::filesystem::temp_directory_path());
  EXPECT_EQ(lock.filename().string(),
            "pellimoravin-" + std::to_string(::getuid()) + "-test-foreground.lock");
}

}  // namespace
