#include "utilities/Logging.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "catalogue_fixture.h"
#include "support/temp_dir.h"
#include "utilities/Paths.h"

namespace {

using Utilities::Logging;
using Utilities::LogLevel;
using namespace std::chrono_literals;

// A logger writing to a file of its own, with a clock the test moves.
class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    logger.set_log_file_path_name(Utilities::from_path(dir / "log" / "test.log"));
    logger.set_clock([this] { return now; });
  }

  std::string content() { return test_support::read_file(dir / "log" / "test.log"); }
  // The texts of the lines written so far (after the tab, without the line feed).
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    std::string all = content();
    size_t at = 0;
    while (at < all.size()) {
      size_t end = all.find('\n', at);
      std::string line = all.substr(at, end - at);
      out.push_back(Utilities::error_text(line));
      at = end + 1;
    }
    return out;
  }

  test_support::TempDir dir;
  Logging logger;
  Logging::Clock::time_point now = Logging::Clock::time_point() + 100000s;
};

TEST_F(LogFixture, LineLayoutAndLevels) {
  logger.set_log_level(LogLevel::Warning);
  logger.set_origin_tag('D');
  logger.log(LogLevel::Info, std::string("dropped"));
  logger.log(LogLevel::Warning, std::string("kept\twith tab"));
  logger.log(LogLevel::FatalError, std::string("fatal"));
  logger.log(LogLevel::None, std::string("never"));
  std::string all = content();
  std::regex layout(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} D Warning\tkept\twith tab\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} D FatalError\tfatal\n");
  EXPECT_TRUE(std::regex_match(all, layout)) << all;

  logger.set_log_level(LogLevel::None);
  logger.log(LogLevel::FatalError, std::string("silent"));
  EXPECT_EQ(content(), all);
}

TEST_F(LogFixture, OverloadsJoinTheirParts) {
  logger.set_log_level(LogLevel::Debug);
  auto epoch_plus = Logging::Clock::time_point() + 42s + 900ms;
  std::wstring w = L"wide ä";
  std::string n = "narrow ö";
  struct Case {
    std::function<void()> call;
    std::string text;
  } cases[] = {
      {[&] { logger.log(LogLevel::Info, w); }, "wide ä"},
      {[&] { logger.log(LogLevel::Info, n); }, "narrow ö"},
      {[&] { logger.log(LogLevel::Info, n, std::string("+x")); }, "narrow ö+x"},
      {[&] { logger.log(LogLevel::Info, std::string("a"), "b"); }, "ab"},
      {[&] { logger.log(LogLevel::Info, std::string("flag "), true); }, "flag true"},
      {[&] { logger.log(LogLevel::Info, std::string("flag "), false); }, "flag false"},
      {[&] { logger.log(LogLevel::Info, std::string("t="), epoch_plus); }, "t=42"},
      {[&] { logger.log(LogLevel::Info, w, std::wstring(L"x")); }, "wide ä x"},
      {[&] { logger.log(LogLevel::Info, w, std::wstring()); }, "wide ä "},
      {[&] { logger.log(LogLevel::Info, w, n); }, "wide ä narrow ö"},
      {[&] { logger.log(LogLevel::Info, w, w, w); }, "wide ä wide ä wide ä"},
      {[&] { logger.log(LogLevel::Info, L"a", L"b", L"->", L"c"); }, "a b -> c"},
  };
  std::vector<std::string> expected;
  for (auto& c : cases) {
    c.call();
    expected.push_back(c.text);
  }
  EXPECT_EQ(texts(), expected);
}

TEST(LogAt, ConvertsPartsToTheMatchingOverload) {
  test_support::TempDir dir;
  Logging& logger = Logging::instance();
  logger.set_log_file_path_name(Utilities::from_path(dir / "at.log"));
  logger.set_log_level(LogLevel::Debug);
  std::wstring w = L"path";
  char const* narrow = "c-string";
  wchar_t const* wide = L"w-string";
  Utilities::log_at(LogLevel::Info, L"literal");
  Utilities::log_at(LogLevel::Info, "narrow");
  Utilities::log_at(LogLevel::Info, L"literal", w);
  Utilities::log_at(LogLevel::Info, w, L"");
  Utilities::log_at(LogLevel::Info, w, wide);
  Utilities::log_at(LogLevel::Info, L"literal", narrow);
  Utilities::log_at(LogLevel::Info, w, w, L"<->", w);
  Utilities::log_error(std::string("message: "), narrow);
  std::string all = test_support::read_file(dir / "at.log");
  for (char const* text :
       {"\tliteral\n", "\tnarrow\n", "\tliteral path\n", "\tpath \n", "\tpath w-string\n",
        "\tliteral c-string\n", "\tpath path <-> path\n", "Error\tmessage: c-string\n"})
    EXPECT_NE(all.find(text), std::string::npos) << text;
  logger.set_log_file_path_name(L"");
}

TEST(LogLevelNames, OnlyTheFirstFiveNamesAreLevels) {
  struct {
    wchar_t const* name;
    LogLevel level;
  } cases[] = {{L"Debug", LogLevel::Debug},           {L"Info", LogLevel::Info},
               {L"Warning", LogLevel::Warning},       {L"Error", LogLevel::Error},
               {L"FatalError", LogLevel::FatalError}, {L"None", LogLevel::Error},
               {L"warning", LogLevel::Error},         {L"", LogLevel::Error}};
  for (auto const& c : cases) EXPECT_EQ(Logging::get_from_string(c.name), c.level) << c.name;
  EXPECT_STREQ(Logging::log_level_str(LogLevel::FatalError), "FatalError");
}

TEST_F(LogFixture, RepeatedWarningIsSuppressedAndCounted) {
  test_support::use_build_catalogues("en");
  auto start = now;
  // Every minute for an hour and a bit: written at 0 s, 1800 s (29 suppressed in between)
  // and 3600 s (again 29), measured from the last written line.
  for (int minute = 0; minute <= 61; ++minute) {
    now = start + minute * 60s;
    logger.log(LogLevel::Warning, std::string("disk nearly full"));
  }
  // Warning and Error share a record; an Info line is never held back.
  logger.log(LogLevel::Error, std::string("disk nearly full"));
  logger.log(LogLevel::Info, std::string("tick"));
  logger.log(LogLevel::Info, std::string("tick"));
  // A text ending in a line feed is another key.
  logger.log(LogLevel::Warning, std::string("disk nearly full\n"));
  std::vector<std::string> expected = {
      "disk nearly full",
      "disk nearly full (repeated 29 times)",
      "disk nearly full (repeated 29 times)",
      "tick",
      "tick",
      "disk nearly full",
      "",
  };
  EXPECT_EQ(texts(), expected);
}

// A reading of the configuration writes every mistake it finds, on its own thread only; the
// suppression goes on for everything else.
TEST_F(LogFixture, RepeatsAreWrittenWhileAScopeAsksForThem) {
  logger.log(LogLevel::Error, std::string("item skipped"));
  logger.log(LogLevel::Error, std::string("item skipped"));
  {
    Utilities::RepeatsWritten outer;
    {
      Utilities::RepeatsWritten inner;
      logger.log(LogLevel::Error, std::string("item skipped"));
    }
    logger.log(LogLevel::Warning, std::string("item skipped"));
    std::thread([&] { logger.log(LogLevel::Error, std::string("item skipped")); }).join();
  }
  logger.log(LogLevel::Error, std::string("item skipped"));
  EXPECT_EQ(texts(), (std::vector<std::string>{"item skipped", "item skipped", "item skipped"}));
}

TEST_F(LogFixture, SamePathKeepsRepetitionsNewPathForgetsThem) {
  logger.log(LogLevel::Warning, std::string("w"));
  logger.set_log_file_path_name(Utilities::from_path(dir / "log" / "test.log"));
  logger.log(LogLevel::Warning, std::string("w"));
  EXPECT_EQ(texts().size(), 1u);
  logger.set_log_file_path_name(Utilities::from_path(dir / "other.log"));
  logger.log(LogLevel::Warning, std::string("w"));
  EXPECT_EQ(test_support::read_file(dir / "other.log").find("\tw\n") != std::string::npos, true);
}

TEST_F(LogFixture, DeletedOrRenamedFileIsRecreated) {
  logger.log(LogLevel::Info, std::string("first"));
  std::filesystem::remove(dir / "log" / "test.log");
  now += 1s;
  logger.log(LogLevel::Info, std::string("after removal"));
  EXPECT_EQ(texts(), std::vector<std::string>{"after removal"});

  std::filesystem::rename(dir / "log" / "test.log", dir / "log" / "moved.log");
  now += 1s;
  logger.log(LogLevel::Info, std::string("after rename"));
  EXPECT_EQ(texts(), std::vector<std::string>{"after rename"});
  EXPECT_NE(test_support::read_file(dir / "log" / "moved.log").find("after removal"),
            std::string::npos);

  logger.erase_file();
  EXPECT_TRUE(content().empty());
  logger.log(LogLevel::Info, std::string("after erase"));
  EXPECT_EQ(texts(), std::vector<std::string>{"after erase"});
}

TEST(LogFile, InSharedFolderNoLinkIsFollowedAndTheFileIsPrivate) {
  test_support::TempDir dir;
  auto shared = dir / "tmp";
  std::filesystem::create_directory(shared);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  test_support::write_file(dir / "victim", "untouched");
  std::filesystem::create_symlink(dir / "victim", shared / "planted.log");

  Logging logger;
  logger.set_log_file_path_name(Utilities::from_path(shared / "planted.log"));
  logger.log(LogLevel::Error, std::string("must not land in the victim"));
  EXPECT_EQ(test_support::read_file(dir / "victim"), "untouched");

  logger.set_log_file_path_name(Utilities::from_path(shared / "fresh.log"));
  logger.log(LogLevel::Error, std::string("line"));
  struct stat st;
  ASSERT_EQ(stat((shared / "fresh.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(LogFile, DefaultPathFollowsHomeAndCache) {
  struct {
    char const* home;
    char const* cache;
    wchar_t const* path;
  } cases[] = {
      {nullptr, "/c", L"/tmp/pellimoravin.log"},
      {"/h", nullptr, L"/h/.cache/pellimoravin/pellimoravin.log"},
      {"/h", "", L"/h/.cache/pellimoravin/pellimoravin.log"},
      {"/h", "/c", L"/c/pellimoravin/pellimoravin.log"},
  };
  for (auto const& c : cases) {
    test_support::ScopedEnv home("HOME", c.home);
    test_support::ScopedEnv cache("XDG_CACHE_HOME", c.cache);
    EXPECT_EQ(Utilities::get_default_log_file_path(), c.path);
  }
}

TEST_F(LogFixture, CollectionTakesInfoAndAboveUpTo200) {
  logger.set_log_level(LogLevel::Error);
  logger.collect_messages(true);
  logger.log(LogLevel::Debug, std::string("debug"));
  logger.log(LogLevel::Warning, std::string("collected, not written\n"));
  for (int i = 0; i < 205; ++i) logger.log(LogLevel::Info, "info " + std::to_string(i));
  auto messages = logger.take_collected_messages();
  ASSERT_EQ(messages.size(), 200u);
  EXPECT_EQ(messages[0].level, LogLevel::Warning);
  EXPECT_EQ(messages[0].text, "collected, not written\n");
  EXPECT_EQ(messages[199].text, "info 198");
  EXPECT_TRUE(logger.take_collected_messages().empty());
  EXPECT_TRUE(content().empty());
}

// The note's id has no translation in the loaded catalogue: the missing-translation warning
// comes back into the same logger while it writes the note, and must not wait on its own lock.
TEST(LogRepetition, UntranslatedNoteDoesNotDeadlock) {
  test_support::TempDir dir;
  test_support::use_own_catalogue(dir.path(), "en", "msgid \"other\"\nmsgstr \"Other\"\n");
  Logging& logger = Logging::instance();
  auto now = Logging::Clock::time_point() + 5000s;
  logger.set_clock([&] { return now; });
  logger.set_log_file_path_name(Utilities::from_path(dir / "instance.log"));
  logger.log(LogLevel::Warning, std::string("again"));
  logger.log(LogLevel::Warning, std::string("again"));
  now += 1800s;
  logger.log(LogLevel::Warning, std::string("again"));
  std::string all = test_support::read_file(dir / "instance.log");
  EXPECT_NE(all.find("\tagain log_message_repeated\n"), std::string::npos) << all;
  EXPECT_NE(all.find("\tÜbersetzung fehlt: log_message_repeated\n"), std::string::npos) << all;
  logger.set_clock([] { return Logging::Clock::now(); });
  logger.set_log_file_path_name(L"");
  test_support::use_build_catalogues("en");
}

}  // namespace
