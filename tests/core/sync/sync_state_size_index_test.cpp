// The size index of the remembered state when many entries share a size: every change of an
// entry moves exactly that entry, and the index always lists what the entries hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/sync/state/SyncState.h"

namespace {

using KVO_Core::FileState;
using KVO_Core::SyncState;

FileState file(std::uint64_t size) { return FileState{size, {}, {}, std::nullopt}; }

// What the index should list for a size, from the entries themselves.
std::vector<std::wstring> expected(SyncState const& state, std::uint64_t size) {
  std::vector<std::wstring> keys;
  for (auto const& [key, value] : state.entries)
    if (!value.link_target && value.size == size) keys.push_back(key);
  return keys;
}

std::vector<std::wstring> sorted(std::vector<std::wstring> keys) {
  std::sort(keys.begin(), keys.end());
  return keys;
}

TEST(SyncStateSizeIndex, FollowsEveryChangeAmongEntriesOfOneSize) {
  SyncState state(L"/s", L"/t", {});
  for (int i = 0; i < 300; ++i) state.record(L"d/f" + std::to_wstring(i), file(7));
  state.record(L"d/f10", file(8));                             // one leaves the shared size
  state.record(L"d/f20", file(7));                             // the same value again
  state.record(L"d/f30", FileState{0, {}, {}, L"elsewhere"});  // becomes a link
  state.forget(L"d/f40");
  state.forget(L"never/known");
  state.record(L"d/f10", file(7));  // and comes back
  state.record(L"d/f50", file(0));
  for (std::uint64_t size : {0u, 7u, 8u, 9u})
    EXPECT_EQ(sorted(state.with_size(size)), expected(state, size)) << size;
  EXPECT_EQ(state.with_size(7).size(), 297u);
  EXPECT_EQ(state.by_size.size(), 298u);

  // Entries that were there from the start are indexed like recorded ones.
  SyncState loaded(L"/s", L"/t", state.entries);
  EXPECT_EQ(loaded.by_size, state.by_size);
  loaded.forget_unseen();
  EXPECT_TRUE(loaded.by_size.empty());
}

}  // namespace
