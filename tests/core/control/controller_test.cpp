// The controller's lifecycle: one at a time, the stop flag, wake and stop from other threads,
// a one-pass run of a real item, and the stack of progress messages.
#include <gtest/gtest.h>

#include <thread>

#include "core/config/Config.h"
#include "core/control/ItemStatus.h"
#include "core/control/SyncArbiter.h"
#include "core/control/Synchronize.h"
#include "core/sync/engine_fixture.h"
#include "support/temp_dir.h"
#include "utilities/ThreadSaveStack.h"

namespace {

using namespace std::chrono_literals;
using KVO_Core::Config;
using KVO_Core::Synchronize;
using KVO_Core::SyncRole;
using KVO_Core::SyncType;

class ControllerTest : public ::testing::Test {
 protected:
  ControllerTest() : home_("HOME", dir.path().c_str()) {
    KVO_Core::SyncArbiter::use_private_scope();
    Config::instance()->reset();
  }
  ~ControllerTest() override {
    Synchronize::destroy();
    Config::instance()->reset();
  }

  template <typename Pred>
  static bool eventually(Pred pred, std::chrono::seconds limit = 20s) {
    auto const end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  test_support::TempDir dir;
  test_support::ScopedEnv home_;
};

TEST_F(ControllerTest, OneAtATimeAndTheStopFlagFollowsIt) {
  EXPECT_TRUE(Synchronize::stopping());
  EXPECT_FALSE(Synchronize::has_instance());
  EXPECT_THROW(Synchronize::instance(), std::runtime_error);
  Synchronize::wake();  // nothing to wake
  Synchronize* first =
      Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background, false, "");
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(Synchronize::stopping());
  EXPECT_EQ(&Synchronize::instance(), first);
  EXPECT_EQ(Synchronize::create(SyncType::Once, nullptr, SyncRole::Foreground, false, ""), nullptr)
      << "a live controller is never replaced";
  EXPECT_EQ(&Synchronize::instance(), first);
  Synchronize::wake();
  EXPECT_FALSE(Synchronize::instance_finished());
  EXPECT_FALSE(Synchronize::destroy(reinterpret_cast<Synchronize*>(&home_)))
      << "only the caller's own controller";
  EXPECT_TRUE(Synchronize::has_instance());
  Synchronize::destroy();
  EXPECT_TRUE(Synchronize::stopping());
  EXPECT_FALSE(Synchronize::has_instance());
}

TEST_F(ControllerTest, StopEndsTheLoopButKeepsTheController) {
  Synchronize* c =
      Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background, false, "");
  ASSERT_NE(c, nullptr);
  Synchronize::stop();
  EXPECT_TRUE(Synchronize::stopping());
  EXPECT_TRUE(eventually([] { return Synchronize::instance_finished(); }));
  EXPECT_TRUE(Synchronize::has_instance());
  EXPECT_TRUE(Synchronize::destroy(c));
  EXPECT_FALSE(Synchronize::has_instance());
}

TEST_F(ControllerTest, OnePassRunsADueItemAndRecordsIt) {
  test_support::write_file(dir / "src/a.txt", "content");
  std::filesystem::create_directories(dir / "dst");
  KVO_Core::SyncItem item(L"one", KVO_Core::SyncItemType::File, engine_test::w(dir / "src/a.txt"),
                          engine_test::w(dir / "dst/a.txt"), L"");
  KVO_Core::SyncItem off(L"off", KVO_Core::SyncItemType::File, engine_test::w(dir / "src/a.txt"),
                         engine_test::w(dir / "off/a.txt"), L"");
  off.flags.enabled = false;
  Config::instance()->add(item, true);
  Config::instance()->add(off, true);
  Synchronize* c = Synchronize::create(SyncType::Once, nullptr, SyncRole::Background, false, "");
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(eventually([c] { return c->finished(); }));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "content");
  EXPECT_FALSE(std::filesystem::exists(dir / "off"));
  EXPECT_EQ(c->count_files(), 1u);
  auto status = KVO_Core::item_status::of(item);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->reachable);
  EXPECT_EQ(status->errors, 0u);
  auto recorded = Config::instance()->find_by_name(L"one");
  ASSERT_TRUE(recorded && recorded->last_run);
  EXPECT_TRUE(recorded->last_run->reachable);
  EXPECT_NE(recorded->last_sync, std::chrono::steady_clock::time_point::min());
  EXPECT_FALSE(KVO_Core::item_status::of(off));
  EXPECT_TRUE(Synchronize::destroy(c));
}

TEST_F(ControllerTest, UnreachableItemIsReportedOnceAndNotSynced) {
  KVO_Core::SyncItem item(L"gone", KVO_Core::SyncItemType::File, engine_test::w(dir / "none.txt"),
                          engine_test::w(dir / "dst/a.txt"), L"");
  Config::instance()->add(item, true);
  engine_test::LogLines log;
  Synchronize* c = Synchronize::create(SyncType::Once, nullptr, SyncRole::Background, false, "");
  ASSERT_TRUE(eventually([c] { return c->finished(); }));
  EXPECT_EQ(log.count(Utilities::LogLevel::Warning, "source_or_target_not_reachable"), 1u);
  ASSERT_EQ(c->unreachable_items().size(), 1u);
  EXPECT_TRUE(c->unreachable_items()[0].warn);
  auto status = KVO_Core::item_status::of(item);
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->reachable);
  EXPECT_EQ(Config::instance()->find_by_name(L"gone")->last_sync,
            std::chrono::steady_clock::time_point::min())
      << "an unreachable item stays due";
}

TEST_F(ControllerTest, ProgressMessagesKeepTheNewest) {
  Synchronize* c =
      Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background, false, "");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->get_message().text, L"");
  Synchronize::report_copied_bytes(99);
  EXPECT_EQ(c->copied_bytes(), 99u);
  Synchronize::set_progress_message(L"one", L"", 1);
  Synchronize::set_progress_message(L"two", L"", 2);
  Synchronize::set_progress_message(L"three", L"d", 3);
  EXPECT_EQ(c->copied_bytes(), 0u);
  auto m = c->get_message();
  EXPECT_EQ(m.text, L"three");
  EXPECT_EQ(m.bytes, 3u);
  EXPECT_EQ(c->get_message().text, L"");
  Synchronize::destroy();
  Synchronize::set_progress_message(L"lost", L"", 1);  // no controller: nothing happens
}

TEST(ThreadSaveStack, LastInFirstOutAndEmptyStack) {
  Utilities::ThreadSaveStack<int> stack;
  int out = 7;
  EXPECT_THROW(stack.pop(out), Utilities::EmptyStack);
  EXPECT_EQ(out, 7);
  EXPECT_THROW(stack.pop(), Utilities::EmptyStack);
  stack.push(1);
  stack.push(2);
  stack.push(3);
  EXPECT_EQ(stack.size(), 3u);
  stack.pop(out);
  EXPECT_EQ(out, 3);
  EXPECT_EQ(*stack.pop(), 2);
  EXPECT_EQ(stack.size(), 1u);
  stack.push(4);
  stack.keep_newest(1);
  EXPECT_EQ(*stack.pop(), 4);
  EXPECT_TRUE(stack.empty());
  try {
    stack.pop();
  } catch (Utilities::EmptyStack const& e) {
    EXPECT_STREQ(e.what(), "empty stack");
  }
}

// wake() and stop() from another thread while controllers come and go must never touch one that
// is being destroyed (run under the thread sanitizer).
TEST_F(ControllerTest, WakeAndStopRaceCreateAndDestroyConcurrency) {
  std::atomic<bool> done{false};
  std::thread poker([&] {
    while (!done.load()) {
      Synchronize::wake();
      Synchronize::instance_finished();
      Synchronize::has_instance();
    }
  });
  std::thread stopper([&] {
    int n = 0;
    while (!done.load()) {
      if (++n % 50 == 0) Synchronize::stop();
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 100; ++i) {
    Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background, false, "");
    Synchronize::wake();
    Synchronize::destroy();
  }
  done = true;
  poker.join();
  stopper.join();
  EXPECT_FALSE(Synchronize::has_instance());
  EXPECT_TRUE(Synchronize::stopping());
}

}  // namespace
