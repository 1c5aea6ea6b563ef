// Log cutting on made-up logs: retention, continuation lines, failures that must keep the log,
// the daily rhythm, and lines logged while a cut runs.
#include "utilities/LogCut.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "singleton_log.h"
#include "support/scoped_mount.h"
#include "support/temp_dir.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = Utilities::LogCut::Clock;
using Utilities::Logging;
using Utilities::LogLevel;

std::string stamp(Clock::time_point t) {
  std::time_t const seconds = Clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

std::string line(Clock::time_point t, std::string const& text) {
  return stamp(t) + ".000 D Info\t" + text + "\n";
}

class LogCutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logger.set_log_file_path_name(Utilities::from_path(log));
    logger.set_log_level(LogLevel::Info);
    logger.set_retention_days(7);
  }
  void cut(Clock::time_point at) {
    Utilities::LogCut cut_at(at);
    cut_at();
  }

  test_support::TempDir temp;
  fs::path log = temp / "logs dä" / "pellimoravin.log";
  fs::path tmp = temp / "logs dä" / "pellimoravin.log.tmp";
  Logging& logger = Logging::instance();
  // Whole seconds, so that a line can be stamped exactly at the limit.
  Clock::time_point now = std::chrono::floor<std::chrono::seconds>(Clock::now());
};

TEST_F(LogCutTest, RetentionSevenDaysWithContinuationLines) {
  std::string const long_old(300 * 1024, 'o'), long_new(300 * 1024, 'n');
  std::string const last = stamp(now) + ".000 D Info\tlast without line feed";
  test_support::write_file(
      log, "foreign first line\n" + line(now - 8 * 24h, "old") + "\tcontinuation of old\n" +
               "more of old\n" + line(now - 8 * 24h, long_old) + line(now - 6 * 24h, "recent") +
               "  continuation of recent\n" + line(now - 7 * 24h - 1s, "just too old") +
               line(now - 7 * 24h, "exactly at the limit") + line(now - 1h, long_new) + "\n" +
               last);
  cut(now);
  EXPECT_EQ(test_support::read_file(log), "foreign first line\n" + line(now - 6 * 24h, "recent") +
                                              "  continuation of recent\n" +
                                              line(now - 7 * 24h, "exactly at the limit") +
                                              line(now - 1h, long_new) + "\n" + last + "\n");
  EXPECT_FALSE(fs::exists(tmp));
}

TEST_F(LogCutTest, RetentionZeroDropsEverythingBeforeTheCut) {
  logger.set_retention_days(0);
  test_support::write_file(
      log, line(now - 1s, "a second ago") + "continued\n" + line(now, "now") + "continued\n");
  cut(now);
  EXPECT_EQ(test_support::read_file(log), line(now, "now") + "continued\n");
}

TEST_F(LogCutTest, AMissingLogIsCreatedAndNoCopyLeft) {
  logger.close_file();
  fs::remove(log);
  cut(now);
  EXPECT_TRUE(fs::exists(log));
  EXPECT_FALSE(fs::exists(tmp));
}

TEST_F(LogCutTest, ModeIsKeptAndAPlantedLinkIsNotWrittenThrough) {
  test_support::write_file(temp / "victim", "precious");
  fs::create_symlink(temp / "victim", tmp);
  test_support::write_file(log, line(now - 9 * 24h, "old") + line(now, "new"));
  ::chmod(log.c_str(), 0640);
  cut(now);
  EXPECT_EQ(test_support::read_file(log), line(now, "new"));
  EXPECT_EQ(fs::status(log).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(test_support::read_file(temp / "victim"), "precious");
  EXPECT_FALSE(fs::exists(fs::symlink_status(tmp)));
}

TEST_F(LogCutTest, AFailedCopyOnAFullDiskKeepsTheLog) {
  test_support::ScopedTmpfs mount(log.parent_path(), "size=64k");
  if (!mount.ok()) GTEST_SKIP() << mount.error();
  logger.close_file();
  std::string content = line(now - 8 * 24h, "old");
  while (content.size() < 40 * 1024) content += line(now, "recent and kept");
  test_support::write_file(log, content);
  logger.open_file();
  test_support::fill_up(log.parent_path());

  logger.collect_messages(true);
  cut(now);
  auto const messages = logger.take_collected_messages();
  logger.collect_messages(false);

  // The log is what it was; the failure line itself may have found room after the copy was
  // removed.
  auto const after_cut = test_support::read_file(log);
  EXPECT_EQ(after_cut.substr(0, content.size()), content);
  EXPECT_EQ(after_cut.find("recent and kept", content.size()), std::string::npos);
  EXPECT_FALSE(fs::exists(tmp));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].level, LogLevel::Error);
  std::string const expected = Utilities::translation::translate_utf8("log_file_not_shortenable") +
                               " " + log.string() + " No space left on device";
  EXPECT_EQ(messages[0].text, expected);

  // The logger writes to the log again once there is room.
  fs::remove(log.parent_path() / "filler");
  logger.log(LogLevel::Info, std::string("after the failed cut"));
  auto const after = test_support::read_file(log);
  EXPECT_EQ(after.substr(0, content.size()), content);
  EXPECT_NE(after.find("after the failed cut\n", content.size()), std::string::npos);
}

TEST_F(LogCutTest, DailyCutAtFirstCallThenEvery24Hours) {
  Utilities::DailyLogCut daily;
  auto const t = now;
  test_support::write_file(log, line(t - 8 * 24h, "old at the first call"));
  daily(t);
  EXPECT_EQ(test_support::read_file(log), "");

  std::string const stale = line(t + 23h - 8 * 24h, "old one day later");
  test_support::write_file(log, stale);
  daily(t + 23h);
  EXPECT_EQ(test_support::read_file(log), stale);
  daily(t + 24h - 1s);
  EXPECT_EQ(test_support::read_file(log), stale);
  daily(t + 24h);
  EXPECT_EQ(test_support::read_file(log), "");
}

TEST(LogCutTime, ParsesTheStampAtTheStartOnly) {
  Clock::time_point parsed;
  auto const t = std::chrono::floor<std::chrono::seconds>(Clock::now());
  ASSERT_TRUE(Utilities::LogCut::get_time_from_line(stamp(t) + ".123 D Info\ttext", parsed));
  EXPECT_EQ(parsed, t);
  ASSERT_TRUE(Utilities::LogCut::get_time_from_line(stamp(t), parsed));
  EXPECT_EQ(parsed, t);
  for (std::string const bad :
       {"", "2024-01-01 00:00", " 2024-01-01 00:00:00", "2024-13-01 00:00:00",
        "2024-01-01T00:00:00", "\tcontinued", "20x4-01-01 00:00:00"})
    EXPECT_FALSE(Utilities::LogCut::get_time_from_line(bad, parsed)) << bad;
}

TEST_F(LogCutTest, ConcurrencyLinesLoggedDuringCutsAreKept) {
  test_support::write_file(log, line(now - 30 * 24h, "old"));
  constexpr int COUNT = 300;
  std::atomic<bool> done{false};
  std::thread writer([&done] {
    for (int i = 0; i < COUNT; ++i)
      Logging::instance().log(LogLevel::Info, "line " + std::to_string(i));
    done = true;
  });
  int cuts = 0;
  while (!done || cuts < 3) {
    Utilities::LogCut{}();
    ++cuts;
  }
  writer.join();

  std::string const all = test_support::read_file(log);
  EXPECT_EQ(all.find("\told\n"), std::string::npos);
  std::size_t at = 0;
  for (int i = 0; i < COUNT; ++i) {
    std::string const wanted = "\tline " + std::to_string(i) + "\n";
    std::size_t const found = all.find(wanted, at);
    ASSERT_NE(found, std::string::npos) << "lost or out of order: " << i;
    at = found + wanted.size();
  }
}

}  // namespace
