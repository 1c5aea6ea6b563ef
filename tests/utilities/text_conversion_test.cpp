#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "utilities/Util.h"

using Utilities::util::string_to_wstring;
using Utilities::util::to_uint16_t;
using Utilities::util::wstring_to_string;

namespace {

constexpr wchar_t R = 0xFFFD;

struct DecodeCase {
  char const* what;
  std::string bytes;
  std::wstring expected;
};

TEST(TextConversion, DecodesWellFormedAndMalformedUtf8) {
  std::vector<DecodeCase> const cases = {
      {"empty", "", L""},
      {"ascii with NUL", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
      {"two bytes", "\xC3\xA4", L"\u00E4"},
      {"three bytes", "\xE2\x82\xAC", L"\u20AC"},
      {"four bytes", "\xF0\x9F\x98\x80", L"\U0001F600"},
      {"highest scalar", "\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
      {"bad continuation read again", "\xC3\x28", {R, L'('}},
      {"overlong two bytes", "\xC0\x80", {R}},
      {"overlong two bytes C1", "\xC1\xBF", {R}},
      {"overlong three bytes", "\xE0\x80\x80", {R}},
      {"overlong four bytes", "\xF0\x80\x80\x80", {R}},
      {"surrogate", "\xED\xA0\x80", {R}},
      {"above U+10FFFF", "\xF4\x90\x80\x80", {R}},
      {"truncated at end", "\xE2\x82", {R, R}},
      {"truncated four at end", "x\xF0\x9F\x98", {L'x', R, R, R}},
      {"stray continuation",
       "\x80"
       "a",
       {R, L'a'}},
      {"F8 lead and its tail", "\xF8\x88\x80\x80\x80", {R, R, R, R, R}},
      {"FF", "\xFF", {R}},
      {"three-byte broken in the middle", "\xE2\x28\xA1", {R, L'(', R}},
      {"four-byte broken at its last byte", "\xF0\x9F\x98\x41", {R, R, R, L'A'}},
  };
  for (auto const& c : cases) EXPECT_EQ(string_to_wstring(c.bytes), c.expected) << c.what;
}

struct EncodeCase {
  std::wstring text;
  std::string expected;
};

TEST(TextConversion, EncodesScalarsAndReplacesTheRest) {
  std::vector<EncodeCase> const cases = {
      {std::wstring(1, L'\0'), std::string(1, '\0')},
      {L"\x7F", "\x7F"},
      {L"\x80", "\xC2\x80"},
      {L"\x7FF", "\xDF\xBF"},
      {L"\x800", "\xE0\xA0\x80"},
      {L"\xFFFF", "\xEF\xBF\xBF"},
      {L"\U00010000", "\xF0\x90\x80\x80"},
      {L"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
      {{static_cast<wchar_t>(0xD800)}, "\xEF\xBF\xBD"},
      {{static_cast<wchar_t>(0xDFFF)}, "\xEF\xBF\xBD"},
      {{static_cast<wchar_t>(0x110000)}, "\xEF\xBF\xBD"},
      {{static_cast<wchar_t>(-1)}, "\xEF\xBF\xBD"},
      {{L'a', static_cast<wchar_t>(0xDC00), L'b'},
       "a\xEF\xBF\xBD"
       "b"},
  };
  for (auto const& c : cases)
    EXPECT_EQ(wstring_to_string(c.text), c.expected) << static_cast<long>(c.text[0]);
}

TEST(TextConversion, EveryScalarValueRoundTrips) {
  std::wstring all;
  for (wchar_t c = 0; c <= 0x10FFFF; ++c)
    if (c < 0xD800 || c > 0xDFFF) all += c;
  EXPECT_EQ(string_to_wstring(wstring_to_string(all)), all);
}

TEST(ToUint16, ParsesLikeStoiWithinRange) {
  struct Case {
    std::wstring text;
    std::uint16_t expected;
  };
  for (auto const& c : std::vector<Case>{
           {L"65535", 65535}, {L"0", 0}, {L" 42abc", 42}, {L"+7", 7}, {L"-0", 0}, {L"\t12", 12}})
    EXPECT_EQ(to_uint16_t(c.text), c.expected) << wstring_to_string(c.text);
}

TEST(ToUint16, RefusesWithItsMessage) {
  for (std::wstring const text : {L"65536", L"-1", L"-1\u00E4", L"70000x"}) {
    try {
      to_uint16_t(text);
      ADD_FAILURE() << "no exception for " << wstring_to_string(text);
    } catch (std::out_of_range const& e) {
      EXPECT_EQ(std::string(e.what()), "value outside 0..65535: " + wstring_to_string(text));
    }
  }
  EXPECT_THROW(to_uint16_t(L"abc"), std::invalid_argument);
  EXPECT_THROW(to_uint16_t(L""), std::invalid_argument);
  EXPECT_THROW(to_uint16_t(L"99999999999"), std::out_of_range);
}

}  // namespace
