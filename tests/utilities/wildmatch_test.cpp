#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "utilities/Util.h"

using Utilities::util::wildmatch;
using Utilities::util::wstring_to_string;

namespace {

struct Case {
  std::wstring name;
  std::wstring pattern;
  bool matches;
};

TEST(Wildmatch, Table) {
  std::vector<Case> const cases = {
      {L"report.txt", L"*.txt", true},
      {L"report.txt", L"*.TXT", false},
      {L"a.txt", L"?.txt", true},
      {L"ab.txt", L"?.txt", false},
      {L"", L"", true},
      {L"a", L"", false},
      {L"", L"*", true},
      {L"", L"?", false},
      {L"a+b(1).txt", L"a+b(1).txt", true},
      {L"aab(1).txt", L"a+b(1).txt", false},
      {L"[ab].txt", L"[ab].txt", true},
      {L"a.txt", L"[ab].txt", false},
      {L"axtxt", L"a.txt", false},
      {L"a\\b", L"a\\b", true},
      {L"^$|{}", L"^$|{}", true},
      {L"x", L"x**", true},
      {L"abc", L"a*c", true},
      {L"abc", L"a*b", false},
      {L"abcbc", L"*bc", true},
      {L"dir/sub/f.txt", L"*.txt", true},
      {L"\u00E4\U0001F600", L"??", true},
      {L"line\nfeed", L"*", false},
      {L"line\nfeed", L"line?feed", false},
      {L"line\nfeed", L"line\nfeed", true},
      {L"line\nfeed", L"line\n*", true},
      {L"a\rb", L"a*b", false},
      {L"a\u2028b", L"a?b", false},
      {L"a\u2029b", L"*", false},
      {L"a\u0085b", L"a?b", true},
  };
  for (auto const& c : cases)
    EXPECT_EQ(wildmatch(c.name, c.pattern), c.matches)
        << wstring_to_string(c.name) << " ~ " << wstring_to_string(c.pattern);
}

TEST(Wildmatch, HostilePatternsEndAtOnce) {
  std::wstring const name(250, L'a');
  EXPECT_FALSE(wildmatch(name, L"*a*a*a*a*a*a*a*b"));
  EXPECT_TRUE(wildmatch(name, L"*a*a*a*a*a*a*a*"));
  std::wstring many;
  for (int i = 0; i < 100; ++i) many += L"*a";
  EXPECT_FALSE(wildmatch(std::wstring(5000, L'a'), many + L"b"));
  EXPECT_TRUE(wildmatch(std::wstring(5000, L'a') + L"b", many + L"b"));
}

// A plain backtracking reference: slow on hostile input, obviously right on short input.
bool reference(std::wstring_view name, std::wstring_view pattern) {
  auto ordinary = [](wchar_t c) { return c != L'\n' && c != L'\r' && c != 0x2028 && c != 0x2029; };
  if (pattern.empty()) return name.empty();
  if (pattern[0] == L'*') {
    for (std::size_t taken = 0;; ++taken) {
      if (reference(name.substr(taken), pattern.substr(1))) return true;
      if (taken == name.size() || !ordinary(name[taken])) return false;
    }
  }
  if (name.empty()) return false;
  bool const first = pattern[0] == L'?' ? ordinary(name[0]) : pattern[0] == name[0];
  return first && reference(name.substr(1), pattern.substr(1));
}

TEST(Wildmatch, AgreesWithABacktrackingReference) {
  std::mt19937 random(12345);
  std::wstring const name_chars = L"ab.\n\u2028";
  std::wstring const pattern_chars = L"ab.*?\n\u2028";
  auto make = [&](std::wstring const& alphabet, int max_length) {
    std::wstring s(random() % (max_length + 1), L' ');
    for (auto& c : s) c = alphabet[random() % alphabet.size()];
    return s;
  };
  for (int i = 0; i < 3000; ++i) {
    std::wstring const name = make(name_chars, 7);
    std::wstring const pattern = make(pattern_chars, 6);
    bool const expected = reference(name, pattern);
    ASSERT_EQ(wildmatch(name, pattern), expected)
        << wstring_to_string(name) << " ~ " << wstring_to_string(pattern);
  }
}

}  // namespace
