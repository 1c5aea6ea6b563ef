// Item status files: their text, reading them back, when a run rewrites them, and the sentence.
#include "core/control/ItemStatus.h"

#include <gtest/gtest.h>

#include "core/sync/engine_fixture.h"
#include "support/temp_dir.h"
#include "utilities/Translation.h"

namespace {

using namespace std::chrono_literals;
namespace item_status = KVO_Core::item_status;
using item_status::ItemStatus;
using item_status::StatusKind;
using item_status::TimePoint;
using KVO_Core::LastRun;
using KVO_Core::SyncItem;

TimePoint at(std::int64_t seconds) { return TimePoint(std::chrono::seconds(seconds)); }

class StatusFileTest : public ::testing::Test {
 protected:
  StatusFileTest() : home_("HOME", dir.path().c_str()) {}

  SyncItem item(std::wstring const& name = L"Fotos") {
    return SyncItem(name, KVO_Core::SyncItemType::File, L"/src/a.txt", L"/dst/a.txt", L"");
  }
  std::filesystem::file_time_type written(SyncItem const& i) {
    return std::filesystem::last_write_time(item_status::file_path(i));
  }
  // Forces a visibly different write time before the next write.
  void age_file(SyncItem const& i) {
    std::filesystem::last_write_time(item_status::file_path(i),
                                     std::filesystem::file_time_type() + 1h);
  }

  test_support::TempDir dir;
  test_support::ScopedEnv home_;
};

TEST_F(StatusFileTest, WritesEscapedLinesAndReadsThemBack) {
  ItemStatus status{
      L"/a\\b", L"/t", at(1700000000), std::nullopt, true, 2, L"line\nfeed\rreturn\\slash\ttab"};
  auto const path = dir / "s.status";
  ASSERT_TRUE(item_status::write(path, status));
  EXPECT_EQ(test_support::read_file(path),
            "pellimoravin-item-status 1\nsource\t/a\\\\b\ntarget\t/t\nlast_pass\t1700000000\n"
            "reachable\t1\nerrors\t2\nfirst_error\tline\\nfeed\\rreturn\\\\slash\ttab\n");
  EXPECT_EQ(item_status::read(path), status);
  EXPECT_FALSE(std::filesystem::exists(dir / "s.status.tmp"));
  status.last_success = at(1699999999);
  ASSERT_TRUE(item_status::write(path, status));
  EXPECT_EQ(item_status::read(path), status);
}

TEST_F(StatusFileTest, UnreadableFilesAreNone) {
  engine_test::LogLines log;
  struct Row {
    char const* what;
    std::string text;
  };
  Row const rows[] = {
      {"other format", "other-format 1\nsource\t/a\n"},
      {"no errors line",
       "pellimoravin-item-status 1\nsource\t/a\ntarget\t/b\nlast_pass\t1\nreachable\t1\n"
       "first_error\t\n"},
      {"errors not a number",
       "pellimoravin-item-status 1\nsource\t/a\ntarget\t/b\nlast_pass\t1\nreachable\t1\n"
       "errors\t-1\nfirst_error\t\n"},
      {"short", "pellimoravin"},
  };
  for (Row const& row : rows) {
    auto const path = dir / "bad.status";
    test_support::write_file(path, row.text);
    EXPECT_FALSE(item_status::read(path)) << row.what;
  }
  EXPECT_EQ(log.count(Utilities::LogLevel::Info, "item status ignored, it cannot be read: "), 4u);
  EXPECT_FALSE(item_status::read(dir / "missing.status"));
  EXPECT_EQ(log.count(Utilities::LogLevel::Info, "item status ignored"), 4u);
}

TEST_F(StatusFileTest, ReadingToleratesUnknownKeysAndAMissingLastFeed) {
  auto const path = dir / "ok.status";
  test_support::write_file(path,
                           "pellimoravin-item-status 1\nsource\t/a\nfuture\tx\nno tab here\n"
                           "target\t/b\nlast_pass\t-5\nreachable\t0\nerrors\t0\nfirst_error\t\\\n"
                           "last_success\t7");
  auto status = item_status::read(path);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->last_pass, at(-5));
  EXPECT_FALSE(status->reachable);
  EXPECT_EQ(status->first_error, L"\\");
  EXPECT_EQ(status->last_success, at(7));
}

TEST_F(StatusFileTest, RecordRewritesOnlyWhenNeeded) {
  SyncItem const i = item();
  LastRun clean{true, 0, L"", std::nullopt};
  item_status::record(i, clean, at(1000));
  ASSERT_TRUE(item_status::of(i));
  EXPECT_EQ(item_status::of(i)->last_success, at(1000));
  age_file(i);
  auto const first = written(i);

  item_status::record(i, clean, at(1030));
  EXPECT_EQ(written(i), first) << "same outcome within a minute";
  item_status::record(i, clean, at(1061));
  EXPECT_NE(written(i), first) << "a minute after the stored pass";
  EXPECT_EQ(item_status::of(i)->last_pass, at(1061));

  age_file(i);
  auto const second = written(i);
  item_status::record(i, clean, at(500));
  EXPECT_NE(written(i), second) << "the clock went back";
  EXPECT_EQ(item_status::of(i)->last_pass, at(500));

  LastRun failed{true, 3, std::wstring(500, L'x'), std::nullopt};
  item_status::record(i, failed, at(510));
  auto status = item_status::of(i);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->errors, 3u);
  EXPECT_EQ(status->first_error.size(), 300u);
  EXPECT_EQ(status->last_success, at(500)) << "a failed run keeps the last clean one";
  EXPECT_EQ(item_status::kind(i, status), StatusKind::errors);
}

TEST_F(StatusFileTest, ChangedSidesHideTheOldStatus) {
  SyncItem i = item();
  item_status::record(i, LastRun{true, 0, L"", std::nullopt}, at(1000));
  i.target(L"/elsewhere/a.txt");
  EXPECT_FALSE(item_status::of(i));
  item_status::record(i, LastRun{false, 0, L"", std::nullopt}, at(1010));
  auto status = item_status::of(i);
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->last_success) << "nothing carried over from the other sides";
  EXPECT_EQ(test_support::read_file(item_status::file_path(i)).find("last_success"),
            std::string::npos);
}

TEST_F(StatusFileTest, FileLivesBesideTheConfiguration) {
  EXPECT_EQ(item_status::directory(),
            dir.path() / "Library/Application Support/pellimoravin/status");
  EXPECT_EQ(item_status::file_path(L"a/b:c").filename(), "a_b_c.status");
  EXPECT_EQ(item_status::file_path(L"..").filename(), "status.status");
}

TEST_F(StatusFileTest, KindsAndSentences) {
  namespace tr = Utilities::translation;
  tr::init_locale({});
  tr::init(tr::locale_dir());
  tr::set_language("en");
  // Other tests of this program expect untranslated message ids in the log.
  struct Unbind {
    ~Unbind() { Utilities::translation::init(std::filesystem::path("/nonexistent-catalogues")); }
  } unbind;
  SyncItem i = item();
  auto const now = at(1'000'000);
  ItemStatus s{L"/src/a.txt", L"/dst/a.txt", now - 60s, std::nullopt, true, 0, L""};
  EXPECT_EQ(item_status::kind(i, std::nullopt), StatusKind::never);
  EXPECT_EQ(item_status::kind(i, s), StatusKind::ok);
  EXPECT_FALSE(item_status::problem(StatusKind::ok));
  EXPECT_TRUE(item_status::problem(StatusKind::unreachable));
  EXPECT_EQ(item_status::text(i, s, now), L"Synchronised 1 minutes ago.");
  s.errors = 3;
  s.first_error = L"boom";
  EXPECT_EQ(item_status::text(i, s, now), L"3 errors, no clean run yet. First error: boom");
  s.last_success = now - 172799s;
  EXPECT_EQ(item_status::text(i, s, now),
            L"3 errors; last clean run 47 hours ago. First error: boom");
  s.reachable = false;
  s.last_success = now - 172800s;
  EXPECT_EQ(item_status::kind(i, s), StatusKind::unreachable);
  EXPECT_EQ(item_status::text(i, s, now), L"Not reachable; last clean run 2 days ago.");
  s.last_success = now + 10s;
  EXPECT_EQ(item_status::text(i, s, now), L"Not reachable; last clean run just now.");
  i.flags.enabled = false;
  EXPECT_EQ(item_status::kind(i, s), StatusKind::inactive);
}

}  // namespace
