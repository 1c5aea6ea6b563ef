// The configuration's own JSON reading and piecewise writing against Boost's reader and the
// whole-tree writer: same trees, same error texts, same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/property_tree/json_parser.hpp>

#include "core/config/JsonRead.h"
#include "utilities/Json.h"
#include "utilities/Util.h"

namespace {

using boost::property_tree::wptree;
using Utilities::util::string_to_wstring;
using Utilities::util::wstring_to_string;

// The tree Boost reads from the decoded text, or its error text.
struct Outcome {
  wptree tree;
  std::string error;
};

Outcome boost_read(std::string const& text) {
  Outcome result;
  std::wistringstream in(string_to_wstring(text));
  try {
    boost::property_tree::read_json(in, result.tree);
  } catch (boost::property_tree::json_parser_error const& error) {
    result.error = error.what();
  }
  return result;
}

Outcome own_read(std::string const& text) {
  Outcome result;
  try {
    result.tree = KVO_Core::json_read::parse(text);
  } catch (boost::property_tree::json_parser_error const& error) {
    result.error = error.what();
  }
  return result;
}

TEST(ConfigJsonRead, SameTreesAndErrorsAsBoostOnTheDecodedText) {
  std::vector<std::string> const texts{
      // Accepted.
      R"({"a": "1", "a": "2", "b": {"c": [1, -0.5e+10, 0, 2E-3, true, false, null, [], {}]}})",
      "\xEF\xBB\xBF  {\"k\": \"v\"}",
      R"({"esc": "\" \\ \/ \b \f \n \r \t \u00e9 \u20AC \ud83d\ude00 \u0000 \uFFFF x"})",
      "{\"na\xC3\xAFve\": \"Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xF0\x9F\x98\x80 \x7F\"}",
      "{\"a\": \"x\xFF\xFE\xC3\", \"b\xE2\x82\": \"\xF0\x9F\", \"\xC0\xAF\xED\xA0\x80\": \"\"}",
      "[\"\xC3\"]",
      "\"text\"",
      " \t\r\n 42 \n",
      "[]",
      "{}",
      "  [ \"a\" , [ ] , { \"x\" : { } } ]  ",
      // Refused, each with Boost's words and line.
      "",
      "\xEF\xBB",
      "\xEF\xBB\xBF",
      "{",
      "{\"a\" 1}",
      "{\n\"a\": \"1\",\n\"b\": tru\n}",
      "{\"a\": }",
      "[1,]",
      "{\"a\": \"x\ny\"}",
      "{1: 2}",
      "\"\\x\"",
      "\"\\u12\"",
      "\"\\u12G4\"",
      "\"\\udc00\"",
      "\"\\ud800\"",
      "\"\\ud800x\"",
      "\"\\ud800\\n\"",
      "\"\\ud800\\u0041\"",
      "-",
      "-x",
      "1.",
      "1e",
      "1e+",
      "01",
      "{} x",
      "nul",
      "fals",
      "\"unterminated",
      "{\"a\": \"b\"}\xEF\xBB\xBF",
      "{\"a\": \xC3\xA4}",
      "[\n\n\"a\"\n\n\"b\"]",
  };
  for (auto const& text : texts) {
    Outcome expected = boost_read(text);
    Outcome own = own_read(text);
    EXPECT_EQ(own.error, expected.error) << text;
    EXPECT_EQ(own.tree, expected.tree) << text;

    // The members' texts parse to Boost's children, and a refused text is refused alike.
    try {
      auto members = KVO_Core::json_read::members(text);
      EXPECT_EQ(expected.error, "") << text;
      ASSERT_EQ(members.size(), expected.tree.size()) << text;
      auto child = expected.tree.begin();
      for (auto const& member : members) {
        EXPECT_EQ(member.key, child->first) << text;
        EXPECT_EQ(KVO_Core::json_read::parse(member.value), child->second) << text;
        ++child;
      }
    } catch (boost::property_tree::json_parser_error const& error) {
      EXPECT_EQ(error.what(), expected.error) << text;
    }
  }
}

wptree leaf(std::wstring const& data) { return wptree(data); }

wptree object(std::vector<std::pair<std::wstring, wptree>> const& members) {
  wptree node;
  for (auto const& member : members) node.push_back(member);
  return node;
}

// Writes each member of `root` with add(), or, for a member named in `piecewise`, through
// add_node() one member at a time, and expects the bytes of the whole-tree writer.
void expect_same_bytes(wptree const& root, std::vector<std::wstring> const& piecewise = {}) {
  std::string text;
  Utilities::json::NodeWriter writer(text);
  for (auto const& [key, value] : root) {
    if (std::find(piecewise.begin(), piecewise.end(), key) == piecewise.end()) {
      writer.add(key, value);
      continue;
    }
    bool array = true;
    for (auto const& member : value) array = array && member.first.empty();
    auto node = writer.add_node(key, array);
    for (auto const& [member_key, member] : value) node.add(member_key, member);
    node.close();
  }
  writer.close();
  EXPECT_EQ(text, wstring_to_string(Utilities::json::to_text(root)));
}

TEST(ConfigJsonWrite, PiecewiseWritingGivesTheWholeTreesBytes) {
  wptree entry = object({{L"name", leaf(L"caf\u00E9 \U0001F600 \"q\" \\ /\t\x01")},
                         {L"exclusions", object({{L"", leaf(L"*.tmp")}, {L"", leaf(L"~*")}})},
                         {L"none", wptree()},
                         {L"odd", leaf(std::wstring(1, static_cast<wchar_t>(0xD800)))}});
  wptree section = object({{L"Syncitem", entry}, {L"", entry}, {L"Syncitem", entry}});
  wptree root = object({{L"Settings", object({{L"Language", leaf(L"de")}})},
                        {L"SshAccounts", wptree()},
                        {L"Devices", object({{L"", entry}, {L"", entry}})},
                        {L"Syncitems", section}});
  expect_same_bytes(wptree());
  expect_same_bytes(root);
  expect_same_bytes(root, {L"SshAccounts", L"Devices", L"Syncitems"});

  // Data beside members is refused before anything of the member is written.
  wptree bad = object({{L"x", leaf(L"1")}});
  bad.data() = L"data";
  std::string text;
  Utilities::json::NodeWriter writer(text);
  writer.add(L"ok", leaf(L"1"));
  std::string const before = text;
  EXPECT_THROW(writer.add(L"bad", object({{L"inner", bad}})), std::invalid_argument);
  EXPECT_EQ(text, before);
}

}  // namespace
