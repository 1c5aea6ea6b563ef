// Classifying a pair: the time rule and its tolerance, whole seconds with a remote side, the
// order of the rules, and the progress message of a long content comparison.
#include "core/sync/decide/FileDifference.h"

#include "engine_fixture.h"

namespace {

using namespace engine_test;
using KVO_Core::CompareItem;
using KVO_Core::CompareItems;
using KVO_Core::FileDifference;
using KVO_Core::SSHPATH;
using Result = FileDifference::Result;

CompareItems time_only() {
  CompareItems items;
  items.items = {CompareItem::Time};
  return items;
}

TEST(FileDifference, ToleranceBoundIsInclusiveAndRemoteTimesAreWholeSeconds) {
  FileDifference local(L"s", L"t", time_only(), SSHPATH::None, false, nullptr, false);
  EXPECT_FALSE(local.newer(at(2), at(0)));
  EXPECT_TRUE(local.newer(at(2.000000001), at(0)));
  FileDifference remote(L"s", L"t", time_only(), SSHPATH::Target, false, nullptr, false);
  EXPECT_FALSE(remote.newer(at(2.9), at(0)));
  EXPECT_TRUE(remote.newer(at(3), at(0)));
  // Times near the ends of the clock do not overflow.
  auto const far = fs::file_time_type::max();
  auto const early = fs::file_time_type::min();
  EXPECT_TRUE(local.newer(far, early));
  EXPECT_FALSE(local.newer(early, far));
}

TEST(FileDifference, RemoteSideTradesTheContentTestForSizeAndTime) {
  FileDifference d(L"s", L"acct:/t", CompareItems{}, SSHPATH::Target, false, nullptr, false);
  EXPECT_FALSE(d.items.content());
  EXPECT_TRUE(d.items.size());
  EXPECT_TRUE(d.items.time());
  FileDifference encrypted(L"s", L"t", CompareItems{}, SSHPATH::None, false, nullptr, true);
  EXPECT_FALSE(encrypted.items.content());
  EXPECT_TRUE(encrypted.items.time());
}

struct Case {
  char const* name;
  std::optional<std::string> source;
  std::optional<std::string> target;
  bool two_way;
  Result expected;
};

TEST(FileDifference, ClassifiesRealPairs) {
  for (Case const& c : std::vector<Case>{
           {"neither", {}, {}, false, Result::NeitherExists},
           {"only source", "a", {}, true, Result::DestNotExists},
           {"only target", {}, "a", true, Result::SourceNotExits},
           {"different sizes under the content test", "a", "abc", false, Result::SourceModified},
           {"same size, same time, different content, two-way", "abc", "abd", true,
            Result::ContentConflict},
       }) {
    test_support::TempDir dir;
    if (c.source) put(dir / "s", *c.source, 0);
    if (c.target) put(dir / "t", *c.target, 0);
    FileDifference d(w(dir / "s"), w(dir / "t"), CompareItems{}, SSHPATH::None, c.two_way, nullptr,
                     false);
    d();
    EXPECT_EQ(d.result, c.expected) << c.name;
  }
}

TEST(FileDifference, UnreadableSidesKeepTheFirstText) {
  test_support::TempDir dir;
  fs::create_directories(dir / "s");
  fs::create_directories(dir / "t");
  FileDifference d(w(dir / "s"), w(dir / "t"), CompareItems{}, SSHPATH::None, false, nullptr,
                   false);
  d();
  EXPECT_EQ(d.result, Result::SourceNotReadable);
  EXPECT_NE(d.error_text.find(w(dir / "s")), std::wstring::npos);
  EXPECT_EQ(d.error_text.find(w(dir / "t")), std::wstring::npos);
}

TEST(FileDifference, LongContentComparisonPublishesProgress) {
  test_support::TempDir dir;
  RecordingSink sink;
  for (std::size_t size : {std::size_t{1000000}, std::size_t{1000001}}) {
    put(dir / "s", std::string(size, 'x'), 0);
    put(dir / "t", std::string(size, 'x'), 0);
    FileDifference d(w(dir / "s"), w(dir / "t"), CompareItems{}, SSHPATH::None, false, nullptr,
                     false);
    d();
    EXPECT_EQ(d.result, Result::Equal);
  }
  EXPECT_EQ(sink.messages.size(), 1u);
}

}  // namespace
