// Reading S3 answers: listing pages below a prefix (outside keys, markers, "//" runs, names that
// are no entry names or no UTF-8), the paging token, and the numbers and times of answers.
#include <gtest/gtest.h>

#include <sstream>

#include <boost/property_tree/xml_parser.hpp>

#include "core/cloud/s3/S3Listing.h"
#include "core/run/SyncReport.h"

namespace {

using namespace KVO_Core;
using namespace KVO_Core::s3;

boost::property_tree::ptree xml(std::string const& text) {
  std::istringstream in(text);
  boost::property_tree::ptree tree;
  boost::property_tree::read_xml(in, tree);
  return tree;
}

std::string contents(std::string const& key, std::string const& size = "5") {
  return "<Contents><Key>" + key + "</Key><Size>" + size +
         "</Size><LastModified>2024-01-31T23:59:59.000Z</LastModified></Contents>";
}

std::string folder(std::string const& prefix) {
  return "<CommonPrefixes><Prefix>" + prefix + "</Prefix></CommonPrefixes>";
}

std::string page(std::string const& body, std::string const& tail = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
         "<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">" +
         body + tail + "</ListBucketResult>";
}

TEST(S3Listing, NamesAreKeysWithoutThePrefix) {
  Page const p = *page_of(
      xml(page(contents("photos/2024/") + contents("photos/2024/a.jpg") +
               folder("photos/2024/raw/") + contents("photos/2023/outside.jpg") +
               contents("elsewhere") + folder("photos/2024//") + folder("photos/2024/x//") +
               contents("photos/2024/big", "18446744073709551615") +
               contents("photos/2024/odd", "12x"))),
      "photos/2024/");
  std::vector<std::string> names;
  for (webdav::Entry const& e : p.entries) names.push_back(e.name + (e.is_dir ? "/" : ""));
  // The marker and the keys outside the prefix are gone; "//" runs leave names that are none.
  EXPECT_EQ(names, (std::vector<std::string>{"a.jpg", "raw/", "/", "x//", "big", "odd"}));
  EXPECT_EQ(p.entries[0].size, 5u);
  EXPECT_EQ(p.entries[0].mtime, 1706745599);
  EXPECT_EQ(p.entries[1].size, 0u);
  EXPECT_EQ(p.entries[4].size, 18446744073709551615u);
  EXPECT_EQ(p.entries[5].size, 0u);
  EXPECT_TRUE(p.next_token.empty());

  std::vector<webdav::Entry> kept;
  append_listable(std::vector<webdav::Entry>(p.entries), "photos/2024", kept);
  ASSERT_EQ(kept.size(), 4u);
  EXPECT_EQ(kept[1].name, "raw");
}

TEST(S3Listing, UnusableNamesAreSkippedAndUndecodableOnesHinted) {
  std::vector<webdav::Entry> entries;
  for (char const* name : {"ok", "", ".", "..", "a\\b", "a/b", "caf\xC3\xA9", "bad\xFF", "\xC3"})
    entries.push_back({name, false, 0, 0});
  entries.push_back({std::string("nul\0x", 5), false, 0, 0});
  SyncReport report;
  SyncReportGuard guard(&report);
  std::vector<webdav::Entry> kept;
  append_listable(std::move(entries), "bucket/dir", kept);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].name, "ok");
  EXPECT_EQ(kept[1].name, "caf\xC3\xA9");
  ASSERT_EQ(report.hints.count("undecodable_name_skipped"), 1u);
  EXPECT_EQ(report.hints["undecodable_name_skipped"].count, 2u);
  EXPECT_EQ(report.hints["undecodable_name_skipped"].example, L"bucket/dir");
}

TEST(S3Listing, OnlyAnExactTrueContinues) {
  struct Case {
    char const* tail;
    char const* token;
    bool truncated;
  } const cases[] = {
      {"<IsTruncated>true</IsTruncated><NextContinuationToken>t+1/=</NextContinuationToken>",
       "t+1/=", true},
      {"<IsTruncated>True</IsTruncated><NextContinuationToken>t</NextContinuationToken>", "",
       false},
      {"<IsTruncated>1</IsTruncated><NextContinuationToken>t</NextContinuationToken>", "", false},
      {"<IsTruncated>false</IsTruncated><NextContinuationToken>t</NextContinuationToken>", "",
       false},
      {"<NextContinuationToken>t</NextContinuationToken>", "", false},
      // More to come but no way to ask for it: the caller refuses such a listing.
      {"<IsTruncated>true</IsTruncated>", "", true},
  };
  for (Case const& c : cases) {
    std::optional<Page> const p = page_of(xml(page("", c.tail)), "");
    ASSERT_TRUE(p) << c.tail;
    EXPECT_EQ(p->next_token, c.token) << c.tail;
    EXPECT_EQ(p->truncated, c.truncated) << c.tail;
  }
  // An answer that is no listing is not an empty folder.
  EXPECT_FALSE(page_of(xml("<Other><Contents><Key>a</Key></Contents></Other>"), ""));
  EXPECT_FALSE(page_of(xml("<Error><Message>busy</Message></Error>"), ""));
}

TEST(S3Listing, NamesTimesAndNumbers) {
  struct Name {
    char const* key;
    char const* name;
  } const names[] = {{"photos/2024/", "2024"}, {"a.jpg", "a.jpg"}, {"a/b//", "b"}, {"", ""}};
  for (Name const& n : names) EXPECT_EQ(name_of(n.key), n.name) << n.key;

  struct Seconds {
    char const* text;
    std::optional<std::int64_t> seconds;
  } const seconds[] = {
      {"1700000000", 1700000000},
      {"1700000000.987654321", 1700000000},
      {"0", 0},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},  // would not fit: not a time at all
      {"1e300", std::nullopt},
      {"-5", std::nullopt},
      {" 17", std::nullopt},
      {"17 ", std::nullopt},
      {"17abc", std::nullopt},
      {"", std::nullopt},
  };
  for (Seconds const& s : seconds) EXPECT_EQ(metadata_seconds(s.text), s.seconds) << s.text;

  EXPECT_EQ(listing_time("2024-01-31T23:59:59.000Z"), 1706745599);
  EXPECT_EQ(listing_time("2024-01-31T23:59:59Z"), 1706745599);
  EXPECT_EQ(listing_time("yesterday"), 0);
  EXPECT_EQ(decimal_size("18446744073709551616"), 0u);
}

TEST(S3Listing, DeepXmlIsRefusedBeforeParsing) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  EXPECT_FALSE(xml_depth_within(deep, 64));
  EXPECT_TRUE(xml_depth_within(page(contents("k") + "<Empty/>", "<!-- <x><y><z> -->"), 8));
}

}  // namespace
