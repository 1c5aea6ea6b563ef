// Reachability of local sides, with the per-pair cache and its back-off.
#include "core/control/CheckPath.h"

#include <gtest/gtest.h>

#include "core/sync/engine_fixture.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using engine_test::w;
using KVO_Core::CheckPath;
using KVO_Core::next_check_interval;

CheckPath::Clock::time_point fake_now = CheckPath::Clock::time_point() + 100000s;
CheckPath::Clock::time_point now_for_test() { return fake_now; }

TEST(Reachability, NextIntervalDoublesUpToItsCap) {
  EXPECT_EQ(next_check_interval(2, true, true), 4);
  EXPECT_EQ(next_check_interval(2048, true, true), 3600);
  EXPECT_EQ(next_check_interval(3600, true, true), 3600);
  EXPECT_EQ(next_check_interval(256, true, false), 300);
  EXPECT_EQ(next_check_interval(300, true, false), 300);
  EXPECT_EQ(next_check_interval(3600, false, false), 2);
  EXPECT_EQ(next_check_interval(300, false, true), 2);
}

TEST(Reachability, LocalSides) {
  test_support::TempDir dir;
  test_support::write_file(dir / "src/a.txt", "a");
  std::filesystem::create_directories(dir / "dst");
  struct Row {
    char const* what;
    std::filesystem::path source;
    std::filesystem::path target;
    bool reachable;
  };
  Row const rows[] = {
      {"both present", dir / "src", dir / "dst", true},
      {"target missing, parent present", dir / "src/a.txt", dir / "dst/new", true},
      {"target with trailing separator", dir / "src", dir / "dst/new/", true},
      {"target and its parent missing", dir / "src", dir / "nowhere/new", false},
      {"source missing", dir / "gone", dir / "dst", false},
  };
  for (Row const& row : rows) {
    CheckPath check;
    EXPECT_EQ(check(w(row.source), w(row.target)), row.reachable) << row.what;
    EXPECT_EQ(check.refusal(w(row.source), w(row.target)), 0) << row.what;
  }
}

TEST(Reachability, VolumeNameFormIsResolved) {
  test_support::TempDir dir;
  // A volume whose root ends in ":", written as "<name> (<root>)<rest>".
  std::filesystem::create_directories(dir / "vol:/src");
  std::wstring const root = w(dir / "vol:");
  CheckPath check;
  EXPECT_TRUE(check(L"Data (" + root + L")/src", L"Data (" + root + L")/dst"));
  EXPECT_FALSE(check(L"Data (" + root + L")/gone", L"Data (" + root + L")/dst"));
}

TEST(Reachability, CacheBacksOffAndRestartsOnChange) {
  test_support::TempDir dir;
  std::filesystem::create_directories(dir / "dst");
  std::wstring const source = w(dir / "src"), target = w(dir / "dst");
  CheckPath check;
  check.set_clock(&now_for_test);
  engine_test::LogLines log;
  EXPECT_FALSE(check(source, target));
  std::filesystem::create_directories(dir / "src");
  fake_now += 1s;
  EXPECT_FALSE(check(source, target)) << "cached for 2 s";
  fake_now += 1s;
  EXPECT_TRUE(check(source, target)) << "re-probed after 2 s; the change restarts at 2 s";
  std::filesystem::remove(dir / "src");
  fake_now += 1s;
  EXPECT_TRUE(check(source, target));
  fake_now += 1s;
  EXPECT_FALSE(check(source, target));
  EXPECT_EQ(log.count(Utilities::LogLevel::Info, "source_dir_not_reachable"), 2u);
  // Unchanged answers after 2 s, then 4 s, then 8 s.
  struct Step {
    std::chrono::seconds advance;
    std::size_t probes;
  };
  Step const steps[] = {{2s, 3}, {3s, 3}, {1s, 4}, {7s, 4}, {1s, 5}};
  for (Step const& step : steps) {
    fake_now += step.advance;
    EXPECT_FALSE(check(source, target));
    EXPECT_EQ(log.count(Utilities::LogLevel::Info, "source_dir_not_reachable"), step.probes);
  }
}

TEST(Reachability, CacheIsKeyedByThePair) {
  test_support::TempDir dir;
  std::filesystem::create_directories(dir / "a|b");
  std::filesystem::create_directories(dir / "x");
  std::wstring const base = w(dir.path());
  CheckPath check;
  // Joined with "|" these two pairs would be one text; they must not share an answer.
  EXPECT_TRUE(check(base + L"/a|b", base + L"/x"));
  EXPECT_FALSE(check(base + L"/a", L"b|" + base + L"/x"));
}

}  // namespace
