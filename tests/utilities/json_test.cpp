#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include <boost/property_tree/json_parser.hpp>

#include "utilities/Json.h"
#include "utilities/Util.h"

using boost::property_tree::wptree;
using Utilities::json::to_text;

namespace {

wptree leaf(std::wstring const& data) { return wptree(data); }

TEST(JsonWriter, OneMember) {
  wptree root;
  root.push_back({L"a", leaf(L"1")});
  EXPECT_EQ(to_text(root), L"{\n    \"a\": \"1\"\n}\n");
}

TEST(JsonWriter, EmptyRoot) { EXPECT_EQ(to_text(wptree()), L"{\n}\n"); }

TEST(JsonWriter, NestedObjectsArraysAndRepeatedKeys) {
  wptree root;
  wptree settings;
  settings.push_back({L"Language", leaf(L"de")});
  settings.push_back({L"Empty", leaf(L"")});
  root.push_back({L"Settings", settings});
  wptree list;
  list.push_back({L"", leaf(L"x")});
  list.push_back({L"", leaf(L"y")});
  root.push_back({L"List", list});
  wptree mixed;
  mixed.push_back({L"", leaf(L"u")});
  mixed.push_back({L"k", leaf(L"v")});
  root.push_back({L"Mixed", mixed});
  wptree items;
  wptree item;
  item.push_back({L"name", leaf(L"one")});
  items.push_back({L"", item});
  root.push_back({L"Items", items});
  root.push_back({L"dup", leaf(L"1")});
  root.push_back({L"dup", leaf(L"2")});
  std::wstring const expected =
      L"{\n"
      L"    \"Settings\": {\n"
      L"        \"Language\": \"de\",\n"
      L"        \"Empty\": \"\"\n"
      L"    },\n"
      L"    \"List\": [\n"
      L"        \"x\",\n"
      L"        \"y\"\n"
      L"    ],\n"
      L"    \"Mixed\": {\n"
      L"        \"\": \"u\",\n"
      L"        \"k\": \"v\"\n"
      L"    },\n"
      L"    \"Items\": [\n"
      L"        {\n"
      L"            \"name\": \"one\"\n"
      L"        }\n"
      L"    ],\n"
      L"    \"dup\": \"1\",\n"
      L"    \"dup\": \"2\"\n"
      L"}\n";
  EXPECT_EQ(to_text(root), expected);
}

TEST(JsonWriter, RootWithEmptyKeysIsStillAnObject) {
  wptree root;
  root.push_back({L"", leaf(L"a")});
  root.push_back({L"", leaf(L"b")});
  EXPECT_EQ(to_text(root), L"{\n    \"\": \"a\",\n    \"\": \"b\"\n}\n");
}

TEST(JsonWriter, MinimalEscaping) {
  wptree root;
  root.push_back({L"k\tey", leaf(L"\u00E4/b")});
  root.push_back({L"c", leaf(std::wstring(L"\b\f\n\r\"\\\x1F\x01\x7F\u2028\U0001F600") + L'\0')});
  EXPECT_EQ(to_text(root),
            L"{\n    \"k\\tey\": \"\u00E4/b\",\n"
            L"    \"c\": \"\\b\\f\\n\\r\\\"\\\\\\u001F\\u0001\x7F\u2028\U0001F600\\u0000\"\n}\n");
}

TEST(JsonWriter, RefusesDataBesideChildrenBeforeWriting) {
  wptree with_root_data(L"data");
  wptree deep;
  wptree middle(L"data");
  middle.push_back({L"x", leaf(L"1")});
  wptree upper;
  upper.push_back({L"m", middle});
  deep.push_back({L"ok", leaf(L"1")});
  deep.push_back({L"u", upper});
  for (wptree const* tree : {&with_root_data, &deep}) {
    try {
      to_text(*tree);
      ADD_FAILURE() << "no exception";
    } catch (std::invalid_argument const& e) {
      EXPECT_STREQ(e.what(), "ptree contains data that cannot be represented in JSON format");
    }
  }
}

TEST(JsonWriter, BoostReadsBackWhatWasWritten) {
  wptree root;
  wptree settings;
  settings.push_back({L"Text", leaf(L"\u00E4 \"q\" \\ /\t\x1F\U0001F600")});
  root.push_back({L"Settings", settings});
  wptree list;
  list.push_back({L"", leaf(L"x")});
  root.push_back({L"List", list});
  std::wistringstream in(to_text(root));
  wptree back;
  boost::property_tree::read_json(in, back);
  EXPECT_EQ(back, root);
}

}  // namespace
