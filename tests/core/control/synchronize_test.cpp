// The stop flag, its per-thread override and the progress services.
#include "core/control/Synchronize.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/sync/engine_fixture.h"

namespace {

using KVO_Core::Synchronize;

TEST(Synchronize, StopsWhileNoControllerRuns) {
  EXPECT_TRUE(Synchronize::stopping());
  Synchronize::set_stop(false);
  EXPECT_FALSE(Synchronize::stopping());
  Synchronize::set_stop(true);
  EXPECT_TRUE(Synchronize::stopping());
}

TEST(Synchronize, OverridesNestAndStayOnTheirThread) {
  std::atomic<bool> go_on{false};
  std::atomic<bool> stop{true};
  {
    Synchronize::StopOverride outer(go_on);
    EXPECT_FALSE(Synchronize::stopping());
    {
      Synchronize::StopOverride inner(stop);
      EXPECT_TRUE(Synchronize::stopping());
    }
    EXPECT_FALSE(Synchronize::stopping());
    std::thread([] { EXPECT_TRUE(Synchronize::stopping()); }).join();
  }
  EXPECT_TRUE(Synchronize::stopping());
}

TEST(Synchronize, ProgressGoesToTheSinkAndNowhereWithoutOne) {
  Synchronize::report_copied_bytes(5);
  Synchronize::note(Utilities::LogLevel::Info, L"lost");
  engine_test::RecordingSink sink;
  Synchronize::report_copied_bytes(42);
  Synchronize::set_progress_message(L"text", L"", 7);
  Synchronize::note(Utilities::LogLevel::Warning, L"Änderung");
  EXPECT_EQ(sink.last_bytes, 42u);
  ASSERT_EQ(sink.messages.size(), 1u);
  ASSERT_EQ(sink.notes.size(), 1u);
  EXPECT_EQ(sink.notes[0].second, "\xC3\x84nderung");
}

}  // namespace
