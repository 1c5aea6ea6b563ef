#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "utilities/Codecs.h"

namespace base64 = Utilities::base64;
namespace hex = Utilities::hex;
namespace percent = Utilities::percent;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string const& text) { return Bytes(text.begin(), text.end()); }

struct EncodeCase {
  std::string plain;
  std::string padded;
  std::string unpadded;
};

TEST(Base64, EncodesPaddedAndUnpadded) {
  std::vector<EncodeCase> const cases = {
      {"", "", ""},
      {"a", "YQ==", "YQ"},
      {"ab", "YWI=", "YWI"},
      {"abc", "YWJj", "YWJj"},
      {"foob", "Zm9vYg==", "Zm9vYg"},
      {"fooba", "Zm9vYmE=", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
  };
  for (auto const& c : cases) {
    Bytes const b = bytes_of(c.plain);
    EXPECT_EQ(base64::encoded(b), c.padded) << c.plain;
    EXPECT_EQ(base64::encoded(std::string_view(c.plain)), c.padded) << c.plain;
    EXPECT_EQ(base64::encoded_unpadded(b), c.unpadded) << c.plain;
    EXPECT_EQ(base64::decoded(c.padded), b) << c.plain;
  }
}

TEST(Base64, UrlSafeAlphabetWithoutPadding) {
  Bytes const b{0xFB, 0xFF};
  EXPECT_EQ(base64::url_encoded(b), "-_8");
  EXPECT_EQ(base64::encoded(b), "+/8=");
  EXPECT_EQ(base64::url_encoded(Bytes(32, 0xFF)).size(), 43u);
}

TEST(Base64, StrictDecoderRefusesEverythingElse) {
  for (char const* text : {"YWI", "YQ=A", "YWJ j", "Y===", "====", "YW\nJ", "YW-j", "YW_j", "=YWJ",
                           "YQ==YQ==", "YWJj\n", " YWJ", "YWJ\xC3"})
    EXPECT_TRUE(base64::decoded(text).empty()) << text;
  EXPECT_TRUE(base64::decoded("").empty());
}

TEST(Base64, EveryByteRoundTrips) {
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  for (std::size_t length = 0; length <= all.size(); length += 37) {
    Bytes const part(all.begin(), all.begin() + static_cast<long>(length));
    EXPECT_EQ(base64::decoded(base64::encoded(part)), part) << length;
  }
  EXPECT_EQ(base64::decoded(base64::encoded(all)), all);
}

TEST(Hex, LowerCaseHighNibbleFirst) {
  EXPECT_EQ(hex::encoded(Bytes{0x00, 0xAB, 0xFF}), "00abff");
  EXPECT_EQ(hex::encoded(std::string_view("\x00\xAB\xFF", 3)), "00abff");
  EXPECT_EQ(hex::encoded(Bytes{}), "");
}

TEST(Percent, EncodesEverythingButTheUnreservedSet) {
  EXPECT_EQ(percent::encoded("a/b c~"), "a%2Fb%20c~");
  EXPECT_EQ(percent::encoded("\xC3\xA4"), "%C3%A4");
  EXPECT_EQ(percent::encoded("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(percent::encoded(std::string_view("%+\0", 3)), "%25%2B%00");
}

TEST(Percent, DecodesOnlyValidSequences) {
  struct Case {
    std::string text;
    std::string expected;
  };
  std::vector<Case> const cases = {
      {"%41%4a", "AJ"}, {"100%", "100%"},     {"%4", "%4"},
      {"%zz", "%zz"},   {"a+b", "a+b"},       {"%00", std::string(1, '\0')},
      {"%%41", "%A"},   {"%4%41", "%4A"},     {"%C3%A4", "\xC3\xA4"},
      {"%2F%2f", "//"}, {"%g1%1g", "%g1%1g"}, {"", ""},
  };
  for (auto const& c : cases) EXPECT_EQ(percent::decoded(c.text), c.expected) << c.text;
}

TEST(Percent, EveryByteRoundTrips) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(percent::decoded(percent::encoded(all)), all);
}

}  // namespace
