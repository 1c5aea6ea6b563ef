// The state file: a round trip of awkward keys, format versions and escapes, and a failed write
// that leaves the old file alone.
#include "core/sync/state/SyncStateFile.h"

#include <gtest/gtest.h>

#include "engine_fixture.h"

namespace {

using namespace engine_test;
using KVO_Core::FileState;
using KVO_Core::SyncState;

TEST(StateFile, RoundTripKeepsKeysRootsTimesAndLinks) {
  test_support::TempDir dir;
  fs::path const file = dir / "state/item.tsv";
  std::wstring const source = L"/src\twith\\odd\nroot";
  SyncState state(source, L"/dst\r",
                  {{L"a\tb", FileState{18446744073709551615ull, at(-5.5), at(7.25), std::nullopt}},
                   {L"line\nfeed\rreturn\\back\\", FileState{0, at(0), at(1), std::nullopt}},
                   {L"\\n literally", FileState{3, at(1e9), at(-1e9), std::nullopt}},
                   {L"dir/link", FileState{0, {}, {}, std::wstring(L"../x\ty")}}});
  ASSERT_TRUE(KVO_Core::write_sync_state(file, state));
  EXPECT_FALSE(fs::exists(dir / "state/item.tsv.tmp"));
  EXPECT_EQ(test_support::read_file(file).substr(0, 26), "pellimoravin-sync-state 2\n");

  auto const read = KVO_Core::read_sync_state(file, source, L"/dst\r");
  ASSERT_TRUE(read);
  ASSERT_EQ(read->entries.size(), state.entries.size());
  for (auto const& [key, entry] : state.entries) {
    FileState const* back = read->find(key);
    ASSERT_NE(back, nullptr) << Utilities::util::wstring_to_string(key);
    EXPECT_EQ(back->size, entry.size);
    EXPECT_EQ(back->source_time, entry.source_time);
    EXPECT_EQ(back->target_time, entry.target_time);
    EXPECT_EQ(back->link_target, entry.link_target);
  }
  EXPECT_FALSE(read->changed);
  EXPECT_EQ(read->with_size(3), std::vector<std::wstring>{L"\\n literally"});
}

TEST(StateFile, VersionFollowsTheLinkEntries) {
  SyncState state(L"/s", L"/t", {{L"l", FileState{0, {}, {}, std::wstring(L"x")}}});
  EXPECT_EQ(KVO_Core::sync_state_text(state).substr(0, 25), L"pellimoravin-sync-state 2");
  state.forget(L"l");
  EXPECT_EQ(KVO_Core::sync_state_text(state),
            L"pellimoravin-sync-state 1\nsource\t/s\ntarget\t/t\n");
}

TEST(StateFile, UnescapeKeepsUnknownEscapesAndAFinalBackslash) {
  EXPECT_EQ(KVO_Core::unescape_state_field(L"a\\qb\\"), L"aqb\\");
  EXPECT_EQ(KVO_Core::unescape_state_field(KVO_Core::escape_state_field(L"\\t\t\\")), L"\\t\t\\");
}

TEST(StateFile, LaterLineOfTheSameKeyWins) {
  test_support::TempDir dir;
  test_support::write_file(dir / "s.tsv",
                           "pellimoravin-sync-state 1\nsource\t/s\ntarget\t/t\n1\t0\t0\tk\n"
                           "2\t0\t0\tk\n");
  auto const read = KVO_Core::read_sync_state(dir / "s.tsv", L"/s", L"/t");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->find(L"k")->size, 2u);
}

TEST(StateFile, FailedWriteLeavesTheOldFileAndNoTemporary) {
  test_support::TempDir dir;
  fs::path const file = dir / "s.tsv";
  SyncState const state(L"/s", L"/t", {{L"k", FileState{1, {}, {}, std::nullopt}}});
  ASSERT_TRUE(KVO_Core::write_sync_state(file, state));
  std::string const old = test_support::read_file(file);
  // A non-empty folder under the temporary name makes the write fail.
  test_support::write_file(dir / "s.tsv.tmp/blocker", "x");
  LogLines log;
  EXPECT_FALSE(KVO_Core::write_sync_state(file, SyncState(L"/s", L"/t")));
  EXPECT_EQ(test_support::read_file(file), old);
  EXPECT_EQ(log.count(Utilities::LogLevel::Error, "sync_state_not_writable"), 1u);
}

TEST(StateFile, ReplacedFileKeepsItsModeAndANewOneIsPrivate) {
  test_support::TempDir dir;
  fs::path const file = dir / "s.tsv";
  ASSERT_TRUE(KVO_Core::write_sync_state(file, SyncState(L"/s", L"/t")));
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(KVO_Core::write_sync_state(file, SyncState(L"/s", L"/t")));
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

}  // namespace
