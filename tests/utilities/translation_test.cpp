#include "utilities/Translation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "catalogue_fixture.h"
#include "pelli/build_stamp.h"
#include "support/temp_dir.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Placeholders.h"

namespace {

namespace tr = Utilities::translation;

TEST(Placeholders, OnePassLeftToRightArgumentsLiteral) {
  struct {
    std::string text;
    std::initializer_list<std::string> args;
    std::string out;
  } cases[] = {
      {"%1 and %2", {"a", "b"}, "a and b"},
      {"%1 and %2", {"a"}, "a and %2"},
      {"%0 %x 100%", {"a"}, "%0 %x 100%"},
      {"%%1", {"a"}, "%a"},
      {"%12", {"a"}, "a2"},
      {"<%1>", {"%1%2"}, "<%1%2>"},
      {"%2%1", {"x", "y"}, "yx"},
      {"%9", {"1", "2", "3", "4", "5", "6", "7", "8", "nine"}, "nine"},
      {"", {"a"}, ""},
  };
  for (auto const& c : cases) EXPECT_EQ(tr::substituted(c.text, c.args), c.out) << c.text;
  EXPECT_EQ(tr::substituted<wchar_t>(L"ä%1ö", {L"ü"}), L"äüö");
}

TEST(Translation, RealCataloguesInBothLanguages) {
  test_support::use_build_catalogues("de");
  EXPECT_EQ(tr::catalogue_language(), "de");
  EXPECT_EQ(tr::translate_utf8("smtp_server_answers", {"mx"}), "Der Server mx antwortet: ");
  EXPECT_EQ(tr::translate("log_message_repeated", {L"3"}), L"(3-mal wiederholt)");
  EXPECT_EQ(tr::catalogue_mismatch(), std::nullopt);

  tr::set_language("en");
  EXPECT_EQ(tr::catalogue_language(), "en");
  EXPECT_EQ(tr::translate_utf8("smtp_server_answers", {"mx"}), "The server mx answers: ");
  EXPECT_EQ(tr::catalogue_mismatch(), std::nullopt);

  // No catalogue for that language: English.
  tr::set_language("xx");
  EXPECT_STREQ(std::getenv("LANGUAGE"), "en");
  EXPECT_EQ(tr::catalogue_language(), "en");
}

TEST(Translation, LocaleDirIsBesideTheExecutable) {
  EXPECT_EQ(std::filesystem::canonical(tr::locale_dir()),
            std::filesystem::canonical(std::filesystem::path(PELLI_BINARY_DIR) / "bin" / "locale"));
}

TEST(Translation, EmptyLanguageRestoresTheEnvironment) {
  if (!std::setlocale(LC_MESSAGES, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 not installed";
  {
    test_support::ScopedEnv unset("LANGUAGE", nullptr);
    tr::init(tr::locale_dir());
    tr::set_language("en");
    EXPECT_STREQ(std::getenv("LANGUAGE"), "en");
    tr::set_language("");
    EXPECT_EQ(std::getenv("LANGUAGE"), nullptr);
    EXPECT_EQ(tr::catalogue_language(), "de");
  }
  {
    test_support::ScopedEnv start("LANGUAGE", "de");
    tr::init(tr::locale_dir());
    tr::set_language("en");
    tr::set_language("");
    EXPECT_STREQ(std::getenv("LANGUAGE"), "de");
  }
}

// glibc ignores LANGUAGE under the "C" messages locale: without any of the fallback locales
// the catalogues must still apply.
TEST(Translation, CLocaleFallsBackToCUtf8) {
  test_support::ScopedEnv all("LC_ALL", "C");
  tr::init_locale(std::vector<char const*>{"xx_XX.UTF-8", "xx"});
  EXPECT_STREQ(std::setlocale(LC_MESSAGES, nullptr), "C.UTF-8");
  tr::init(tr::locale_dir());
  tr::set_language("de");
  EXPECT_EQ(tr::translate_utf8("smtp_send_failed", {"h"}), "Senden an h fehlgeschlagen.");
}

// The program's German applies only when the environment names no language at all. A language
// named by a locale that is not installed here (en_US and fr_FR are not generated) is still the
// one spoken: its catalogue through LANGUAGE, English where there is none.
TEST(Translation, LanguageOfTheEnvironmentEvenWithoutItsLocale) {
  if (!std::setlocale(LC_MESSAGES, "de_DE.UTF-8")) FAIL() << "de_DE.UTF-8 not installed";
  std::string const before = std::setlocale(LC_ALL, nullptr);
  struct Case {
    char const* language;  // LANGUAGE; nullptr: unset
    char const* lc_all;
    char const* lc_messages;
    char const* lang;
    char const* spoken;  // the catalogue in use
  };
  for (Case const& c : std::vector<Case>{
           {nullptr, nullptr, nullptr, nullptr, "de"},
           {nullptr, nullptr, nullptr, "C", "de"},
           {nullptr, nullptr, nullptr, "en_US.UTF-8", "en"},
           {nullptr, nullptr, nullptr, "fr_FR.UTF-8", "en"},
           {nullptr, nullptr, "en_US.UTF-8", nullptr, "en"},
           {nullptr, "en_US.UTF-8", nullptr, "de_DE.UTF-8", "en"},
           {nullptr, nullptr, nullptr, "de_DE.UTF-8", "de"},
           {"en", nullptr, nullptr, nullptr, "en"},
           {"de", nullptr, nullptr, "en_US.UTF-8", "de"},
       }) {
    std::string const name = std::string(c.language ? c.language : "-") + " " +
                             (c.lc_all ? c.lc_all : "-") + " " +
                             (c.lc_messages ? c.lc_messages : "-") + " " + (c.lang ? c.lang : "-");
    SCOPED_TRACE(name);
    test_support::ScopedEnv language("LANGUAGE", c.language);
    test_support::ScopedEnv all("LC_ALL", c.lc_all);
    test_support::ScopedEnv messages("LC_MESSAGES", c.lc_messages);
    test_support::ScopedEnv lang("LANG", c.lang);
    std::setlocale(LC_ALL, "C");  // as a new process starts
    tr::init_locale(std::vector<char const*>{"de_DE.UTF-8", "de_DE", "de"});
    tr::init(tr::locale_dir());
    tr::set_language("");
    EXPECT_EQ(tr::catalogue_language(), c.spoken);
    EXPECT_EQ(tr::translate_utf8("smtp_server_answers", {"mx"}), std::string(c.spoken) == "de"
                                                                     ? "Der Server mx antwortet: "
                                                                     : "The server mx answers: ");
  }
  std::setlocale(LC_ALL, before.c_str());
  test_support::use_build_catalogues("en");
}

TEST(Translation, StampMismatchIsReported) {
  test_support::TempDir dir;
  std::string wrong_stamp = "msgid \"catalogue_stamp\"\nmsgstr \"" + std::string(40, '0') + "\"\n";
  auto bound = test_support::use_own_catalogue(
      dir / "a", "de", wrong_stamp + "msgid \"catalogue_outdated\"\nmsgstr \"Alt: %1\"\n");
  EXPECT_EQ(tr::catalogue_mismatch(), L"Alt: " + Utilities::from_path(bound));

  bound = test_support::use_own_catalogue(dir / "b", "de", wrong_stamp);
  EXPECT_EQ(tr::catalogue_mismatch(),
            L"The message catalogue in " + Utilities::from_path(bound) +
                L" does not belong to this version of the program; install the locale files of "
                L"this build.");

  bound = test_support::use_own_catalogue(dir / "c", "de",
                                          "msgid \"catalogue_stamp\"\nmsgstr \"" +
                                              std::string(Utilities::translation::BUILD_STAMP) +
                                              "\"\n");
  EXPECT_EQ(tr::catalogue_mismatch(), std::nullopt);
  test_support::use_build_catalogues("en");
}

TEST(Translation, NoCatalogueNoReport) {
  test_support::TempDir dir;
  std::filesystem::create_directories(dir / "empty");
  tr::init(dir / "empty");
  tr::set_language("de");
  auto& logger = Utilities::Logging::instance();
  logger.collect_messages(true);
  EXPECT_EQ(tr::translate_utf8("id_without_catalogue"), "id_without_catalogue");
  EXPECT_EQ(tr::catalogue_language(), "");
  EXPECT_EQ(tr::catalogue_mismatch(), std::nullopt);
  EXPECT_TRUE(logger.take_collected_messages().empty());
  logger.collect_messages(false);
  test_support::use_build_catalogues("en");
}

// Eight threads look up the same missing id while the language switches: one report, no race
// between the switch and the lookups.
TEST(TranslationConcurrency, MissingIdReportedOnceUnderEightThreads) {
  test_support::use_build_catalogues("de");
  auto& logger = Utilities::Logging::instance();
  logger.collect_messages(true);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(tr::translate_utf8("no_such_id_anywhere"), "no_such_id_anywhere");
        std::string repeated = tr::translate_utf8("log_message_repeated", {"1"});
        EXPECT_TRUE(repeated == "(1-mal wiederholt)" || repeated == "(repeated 1 times)")
            << repeated;
      }
    });
  std::thread switcher([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 100; ++i) tr::set_language(i % 2 ? "de" : "en");
  });
  go = true;
  for (auto& t : threads) t.join();
  switcher.join();
  int reports = 0;
  for (auto const& m : logger.take_collected_messages())
    if (m.text == "Übersetzung fehlt: no_such_id_anywhere") {
      ++reports;
      EXPECT_EQ(m.level, Utilities::LogLevel::Warning);
    }
  EXPECT_EQ(reports, 1);
  logger.collect_messages(false);
}

}  // namespace
