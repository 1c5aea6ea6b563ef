#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <clocale>
#include <locale>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "utilities/FileTime.h"
#include "utilities/ThreadSaveStack.h"
#include "utilities/Util.h"

namespace util = Utilities::util;

namespace {

TEST(StringHelpers, NumberAndTruthTexts) {
  EXPECT_EQ(util::to_string(true), L"true");
  EXPECT_EQ(util::to_string(false), L"false");
  EXPECT_EQ(util::to_string(static_cast<unsigned short>(65535)), L"65535");
  EXPECT_EQ(util::to_string(-5), L"-5");
}

TEST(StringHelpers, FileTimeTextIsUtcWithEnglishNamesWhateverTheLocaleAndZone) {
  using namespace std::chrono;
  test_support::ScopedEnv zone("TZ", "JST-9");
  tzset();
  std::locale const old = std::locale::global(std::locale("de_DE.utf8"));
  auto const t = Utilities::file_time::to_file_time(
      system_clock::to_time_t(sys_days{2024y / March / 5} + 14h + 7min + 59s));
  std::string const text = util::to_string(t);
  std::locale::global(old);
  EXPECT_EQ(text, "Tuesday, 05 March 2024 14:07");
  EXPECT_EQ(util::to_string(Utilities::file_time::from_unix_nanoseconds(-1'500'000'000)),
            "Wednesday, 31 December 1969 23:59");
}

TEST(StringHelpers, Trimmed) {
  EXPECT_EQ(util::trimmed(" \tx y \r\n"), "x y");
  EXPECT_EQ(util::trimmed(L" \tx y \r\n"), L"x y");
  EXPECT_EQ(util::trimmed(" \t\r\n "), "");
  EXPECT_EQ(util::trimmed(""), "");
  EXPECT_EQ(util::trimmed("a\t\nb"), "a\t\nb");
  EXPECT_EQ(util::trimmed(L"\u00A0x\u00A0"), L"\u00A0x\u00A0");
}

TEST(StringHelpers, NarrowLowercaseTouchesAsciiCapitalsOnly) {
  std::string const utf8 = "ABC-xyz \xC3\x84\xC3\x96 \xC4";
  std::string const expected = "abc-xyz \xC3\x84\xC3\x96 \xC4";
  EXPECT_EQ(util::lowercase(utf8), expected);

  // Under a Latin-1 character locale, C tolower would turn the UTF-8 lead byte C3 into E3.
  test_support::TempDir dir;
  if (test_support::run("localedef -i de_DE -f ISO-8859-1 '" + (dir / "de_DE.ISO-8859-1").string() +
                        "' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "localedef could not build a Latin-1 locale";
  test_support::ScopedEnv path("LOCPATH", dir.path().c_str());
  std::string const old = std::setlocale(LC_CTYPE, nullptr);
  ASSERT_NE(std::setlocale(LC_CTYPE, "de_DE.ISO-8859-1"), nullptr);
  // volatile: the compiler folds tolower of a constant as if the locale were "C".
  volatile int lead = 0xC3;
  volatile int lowered_lead = std::tolower(lead);
  ASSERT_EQ(lowered_lead, 0xE3) << "the Latin-1 locale is not in effect";
  std::string const lowered = util::lowercase(utf8);
  std::setlocale(LC_CTYPE, old.c_str());
  EXPECT_EQ(lowered, expected);
}

TEST(StringHelpers, WideLowercase) { EXPECT_EQ(util::lowercase(std::wstring(L"AbC")), L"abc"); }

TEST(StringHelpers, SplitDropsEmptyPieces) {
  using V = std::vector<std::string>;
  EXPECT_EQ(util::split("/a//b/", '/'), (V{"a", "b"}));
  EXPECT_EQ(util::split("", '/'), V{});
  EXPECT_EQ(util::split("/", '/'), V{});
  EXPECT_EQ(util::split("//", '/'), V{});
  EXPECT_EQ(util::split("abc", '/'), V{"abc"});
  EXPECT_EQ(util::split("a b", ' '), (V{"a", "b"}));
}

TEST(StringHelpers, Joined) {
  EXPECT_EQ(util::joined(std::vector<std::string>{}, ", "), "");
  EXPECT_EQ(util::joined(std::vector<std::string>{"a"}, ", "), "a");
  EXPECT_EQ(util::joined(std::vector<std::string>{"a", "", "c"}, ", "), "a, , c");
  EXPECT_EQ(util::joined(std::vector<std::wstring>{L"\u00E4", L"b"}, L"/"), L"\u00E4/b");
}

TEST(StringHelpers, EdgesOfAText) {
  EXPECT_EQ(util::unquoted("\"abc\""), "abc");
  EXPECT_EQ(util::unquoted("\""), "\"");
  EXPECT_EQ(util::unquoted("\"\""), "");
  EXPECT_EQ(util::unquoted("\"abc"), "\"abc");
  EXPECT_EQ(util::unquoted("abc\""), "abc\"");
  EXPECT_EQ(util::with_trailing_char(L"dir/", L'/'), L"dir/");
  EXPECT_EQ(util::with_trailing_char(L"dir", L'/'), L"dir/");
  EXPECT_EQ(util::with_trailing_char(L"", L'/'), L"/");
  EXPECT_EQ(util::without_trailing_chars("YQ==", '='), "YQ");
  EXPECT_EQ(util::without_trailing_chars("===", '='), "");
  EXPECT_EQ(util::without_trailing_chars("a=b", '='), "a=b");
}

TEST(StringHelpers, EmptyStackMessage) {
  Utilities::EmptyStack const e;
  EXPECT_STREQ(e.what(), "empty stack");
}

}  // namespace
