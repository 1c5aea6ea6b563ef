// The remembered state in memory: change marks, the size index, forgetting, deferrals and claims.
#include "core/sync/state/SyncState.h"

#include <gtest/gtest.h>

namespace {

using KVO_Core::FileState;
using KVO_Core::PendingDeletion;
using KVO_Core::SyncState;

FileState file(std::uint64_t size) { return FileState{size, {}, {}, std::nullopt}; }
FileState link(std::wstring const& target) { return FileState{0, {}, {}, target}; }

TEST(SyncState, RecordingTheSameValueLeavesItUnchanged) {
  SyncState state(L"/s", L"/t", {{L"a", file(3)}});
  state.record(L"a", file(3));
  EXPECT_FALSE(state.changed);
  state.record(L"a", file(4));
  EXPECT_TRUE(state.changed);
  EXPECT_EQ(state.with_size(3), std::vector<std::wstring>{});
  EXPECT_EQ(state.with_size(4), std::vector<std::wstring>{L"a"});
}

TEST(SyncState, LinkEntriesAreNotIndexedBySize) {
  SyncState state(L"/s", L"/t", {{L"l", link(L"x")}});
  state.record(L"m", link(L"y"));
  state.record(L"e", file(0));
  EXPECT_EQ(state.with_size(0), std::vector<std::wstring>{L"e"});
  EXPECT_EQ(state.by_size.size(), 1u);
}

TEST(SyncState, ForgetUnseenDropsOnlyWhatThePassDidNotMeet) {
  SyncState state(L"/s", L"/t", {{L"a", file(1)}, {L"b", file(2)}});
  state.seen(L"a");
  state.seen(L"b");
  state.forget_unseen();
  EXPECT_FALSE(state.changed);
  EXPECT_EQ(state.entries.size(), 2u);
  state.seen(L"a");
  state.forget_unseen();
  EXPECT_TRUE(state.changed);
  EXPECT_EQ(state.find(L"b"), nullptr);
  EXPECT_TRUE(state.with_size(2).empty());
  EXPECT_TRUE(state.seen_keys.empty());
}

TEST(SyncState, KeepBelowProtectsTheEntriesOfAnUnlistedFolder) {
  SyncState state(L"/s", L"/t", {{L"d/x", file(1)}, {L"d/y/z", file(2)}, {L"dz", file(3)}});
  state.keep_below(L"d");
  state.forget_unseen();
  EXPECT_NE(state.find(L"d/x"), nullptr);
  EXPECT_NE(state.find(L"d/y/z"), nullptr);
  EXPECT_EQ(state.find(L"dz"), nullptr);
}

TEST(SyncState, KnowsBelowMeansStrictlyInsideTheFolder) {
  EXPECT_TRUE(SyncState(L"", L"", {{L"a/b", file(1)}}).knows_below(L"a"));
  EXPECT_FALSE(SyncState(L"", L"", {{L"ab/c", file(1)}, {L"a", file(1)}}).knows_below(L"a"));
}

TEST(SyncState, DeferralsAfterARenameAreDroppedAndEarlierOnesClaimed) {
  SyncState state(L"/s", L"/t");
  state.defer(PendingDeletion{L"old", L"/s/old", L"/t/old", true, 3, false});
  state.defer(PendingDeletion{L"other", L"/s/other", L"/t/other", true, 1, false});
  auto const claimed = state.claim(L"old");
  ASSERT_TRUE(claimed);
  EXPECT_EQ(claimed->size, 3u);
  EXPECT_FALSE(state.claim(L"old"));
  state.renamed(L"gone");
  state.defer(PendingDeletion{L"gone", L"", L"", true, 0, false});
  auto const left = state.take_deletions();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].key, L"other");
  EXPECT_TRUE(state.deletions.empty());
}

}  // namespace
