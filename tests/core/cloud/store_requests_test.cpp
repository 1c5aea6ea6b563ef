// The addresses, arguments and pieces that the OneDrive and Dropbox stores send, built without a
// server: one table per rule.
#include <gtest/gtest.h>

#include <string>

#include "core/cloud/SameOrigin.h"
#include "core/cloud/UploadPieces.h"
#include "core/cloud/UtcTime.h"
#include "core/cloud/dropbox/DropboxArgs.h"
#include "core/cloud/onedrive/GraphAddress.h"

namespace {

using namespace KVO_Core;

constexpr char BASE[] = "https://graph.test/v1.0/me/drive/root";

TEST(GraphAddress, ItemAddressesEncodeEachPieceAndKeepTheRootPlain) {
  struct Case {
    std::string path, suffix, want;
  } const cases[] = {
      {"", "", BASE},
      {"/", "children", std::string(BASE) + "/children"},
      {"//", "content", std::string(BASE) + "/content"},
      {"/docs", "children", std::string(BASE) + ":/docs:/children"},
      {"docs/a b.txt", "content", std::string(BASE) + ":/docs/a%20b.txt:/content"},
      {"/x//y/", "", std::string(BASE) + ":/x/y"},
      {"/h#a%sh?:", "", std::string(BASE) + ":/h%23a%25sh%3F%3A"},
      {"/caf\xC3\xA9/\xF0\x9F\x98\x80", "", std::string(BASE) + ":/caf%C3%A9/%F0%9F%98%80"},
  };
  for (auto const& c : cases)
    EXPECT_EQ(one_drive::item_url(BASE, c.path, c.suffix), c.want) << c.path << " " << c.suffix;
}

TEST(GraphAddress, SplitLastGivesAParentThatGraphCanFind) {
  struct Case {
    std::string path, parent, name;
  } const cases[] = {
      {"a", "", "a"},           {"/a", "", "a"},
      {"docs/a", "/docs", "a"}, {"/docs//a/", "/docs", "a"},
      {"/x/y/z", "/x/y", "z"},  {"", "", ""},
  };
  for (auto const& c : cases) {
    auto const got = one_drive::split_last(c.path);
    EXPECT_EQ(got.parent, c.parent) << c.path;
    EXPECT_EQ(got.name, c.name) << c.path;
  }
  EXPECT_EQ(one_drive::move_body(one_drive::split_last("/new \"dir\"/n\\m")),
            R"({"name":"n\\m","parentReference":{"path":"/drive/root:/new \"dir\""}})");
}

TEST(GraphAddress, JsonTextKeepsUtf8AndEscapesControls) {
  EXPECT_EQ(one_drive::json_text("caf\xC3\xA9 \"q\" \\ \x01\n"),
            "\"caf\xC3\xA9 \\\"q\\\" \\\\ \\u0001\\u000a\"");
  EXPECT_EQ(one_drive::upload_session_body(0),
            R"({"item":{"@microsoft.graph.conflictBehavior":"replace",)"
            R"("fileSystemInfo":{"lastModifiedDateTime":"1970-01-01T00:00:00Z"}}})");
}

TEST(UploadPieces, ContentRangesOfGraphPiecesMeetExactly) {
  constexpr std::uint64_t MIB10 = one_drive::PIECE_SIZE;
  struct Case {
    std::uint64_t size;
    std::vector<std::string> ranges;
  } const cases[] = {
      {0, {}},
      {1, {"Content-Range: bytes 0-0/1"}},
      {MIB10, {"Content-Range: bytes 0-10485759/10485760"}},
      {MIB10 + 1,
       {"Content-Range: bytes 0-10485759/10485761",
        "Content-Range: bytes 10485760-10485760/10485761"}},
      {2 * MIB10 + 5,
       {"Content-Range: bytes 0-10485759/20971525",
        "Content-Range: bytes 10485760-20971519/20971525",
        "Content-Range: bytes 20971520-20971524/20971525"}},
  };
  for (auto const& c : cases) {
    std::vector<std::string> got;
    for (auto const& piece : upload_pieces(c.size, MIB10))
      got.push_back(one_drive::content_range(piece, c.size));
    EXPECT_EQ(got, c.ranges) << c.size;
  }
}

TEST(DropboxArgs, JsonTextIsPureAsciiWithSurrogatePairs) {
  struct Case {
    std::string text, want;
  } const cases[] = {
      {"plain #%.txt", "\"plain #%.txt\""},
      {"caf\xC3\xA9", "\"caf\\u00e9\""},
      {"\xF0\x9F\x98\x80", "\"\\ud83d\\ude00\""},
      {"\xE2\x82\xAC", "\"\\u20ac\""},
      {"\"\\", "\"\\\"\\\\\""},
      {"\t\x7F", "\"\\u0009\\u007f\""},
      {"\xC3", "\"\\u0003\""},              // cut short: the bits gathered so far
      {"\x80", "\"\\u0080\""},              // a stray continuation byte stands for itself
      {"\xFF\xBF\xBF\xBF", "\"\\ufffd\""},  // beyond the last code point
  };
  for (auto const& c : cases) {
    std::string const got = dropbox::json_text(c.text);
    EXPECT_EQ(got, c.want);
    for (char ch : got) EXPECT_TRUE(ch >= 0x20 && ch <= 0x7E) << got;
  }
}

TEST(DropboxArgs, ArgumentsUseDropboxPaths) {
  EXPECT_EQ(dropbox::path_arg("/"), R"({"path":""})");
  EXPECT_EQ(dropbox::path_arg("docs//a b/"), R"({"path":"/docs/a b"})");
  EXPECT_EQ(dropbox::folder_arg("/d"), R"({"path":"/d","autorename":false})");
  EXPECT_EQ(dropbox::move_arg("/a", "b/c"),
            R"({"from_path":"/a","to_path":"/b/c","autorename":false})");
  EXPECT_EQ(dropbox::append_arg("s1", 8388608),
            R"({"cursor":{"session_id":"s1","offset":8388608},"close":false})");
  EXPECT_EQ(dropbox::finish_arg("s1", 16777216, "/\xC3\xA9", 86400),
            R"({"cursor":{"session_id":"s1","offset":16777216},"commit":{"path":"/\u00e9",)"
            R"("mode":"overwrite","mute":true,"client_modified":"1970-01-02T00:00:00Z"}})");
}

TEST(SameOrigin, OnlySchemeHostAndPortDecide) {
  struct Case {
    std::string a, b;
    bool same;
  } const cases[] = {
      {"https://graph.test/v1.0", "https://graph.test/v1.0/me/drive?$skiptoken=x", true},
      {"https://graph.test/v1.0", "https://GRAPH.test:443/other", true},
      {"http://127.0.0.1:8080/v1.0", "http://127.0.0.1:8080/x", true},
      {"https://graph.test/v1.0", "http://graph.test/v1.0", false},
      {"https://graph.test/v1.0", "https://graph.test:8443/v1.0", false},
      {"https://graph.test/v1.0", "https://graph.test.evil.example/v1.0", false},
      {"https://graph.test/v1.0", "https://graph.test@evil.example/v1.0", false},
      {"https://graph.test/v1.0", "https://evil.example/graph.test", false},
      {"http://127.0.0.1:8080/v1.0", "http://localhost:8080/v1.0", false},
      {"https://graph.test/v1.0", "not a url", false},
      {"https://graph.test/v1.0", "", false},
  };
  for (auto const& c : cases) EXPECT_EQ(same_origin(c.a, c.b), c.same) << c.a << " " << c.b;
}

TEST(UtcTime, ReadsTheLeadingTimeAsUtc) {
  struct Case {
    std::string text;
    std::int64_t want;
  } const cases[] = {
      {"2024-05-01T12:30:00Z", 1714566600},
      {"2024-05-01T12:30:00.123+02:00", 1714566600},
      {"1970-01-01T00:00:00Z", 0},
      {"yesterday", 0},
      {"", 0},
  };
  for (auto const& c : cases) EXPECT_EQ(utc_time::seconds_of(c.text), c.want) << c.text;
  EXPECT_EQ(utc_time::text_of(1714566600), "2024-05-01T12:30:00Z");
}

}  // namespace
