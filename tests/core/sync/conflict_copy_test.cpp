// Conflict-copy names and both directions of a conflict on real files.
#include "core/sync/LocalPlace.h"
#include "core/sync/RemotePlace.h"
#include "core/sync/decide/ConflictCopy.h"
#include "transfer_fixture.h"
#include "utilities/FileNames.h"
#include "utilities/SystemInfo.h"

namespace {

using namespace transfer_test;
using KVO_Core::SyncFlags;
using KVO_Core::SyncItemType;

KVO_Core::LocalPlace const local;

std::wstring marker() { return KVO_Core::conflict_copy_marker(L"/x", local); }

TEST(ConflictCopyName, KeepsFolderStemAndExtension) {
  std::wstring const m = marker();
  EXPECT_NE(m.find(Utilities::file_name::local_date()), std::wstring::npos);
  EXPECT_NE(m.find(Utilities::util::string_to_wstring(Utilities::system_info::host_name())),
            std::wstring::npos);
  struct Case {
    std::wstring path;
    unsigned n;
    std::wstring expected;
  };
  for (Case const& c : {
           Case{L"/d/report.txt", 1, L"/d/report (" + m + L").txt"},
           Case{L"/d/report.txt", 2, L"/d/report (" + m + L" 2).txt"},
           Case{L"/d/archive.tar.gz", 1, L"/d/archive.tar (" + m + L").gz"},
           Case{L"/d/.profile", 1, L"/d/.profile (" + m + L")"},
           Case{L"/d/notes.", 3, L"/d/notes (" + m + L" 3)."},
           Case{L"/d.x/README", 1, L"/d.x/README (" + m + L")"},
           Case{L"plain", 1, L"plain (" + m + L")"},
       })
    EXPECT_EQ(KVO_Core::conflict_copy_candidate(c.path, m, c.n), c.expected) << c.expected;
}

TEST_F(TransferPass, TakenNamesOnEitherSideAndDanglingLinksAreSkipped) {
  std::wstring const m = marker();
  fs::create_directories(dir / "src");
  fs::create_directories(dir / "dst");
  auto name = [&](std::string const& folder, unsigned n) {
    return KVO_Core::conflict_copy_candidate(w(dir / folder / "a.txt"), m, n);
  };
  fs::create_symlink(dir / "nowhere", Utilities::to_path(name("dst", 1)));
  put(Utilities::to_path(name("src", 2)), "taken on the other side", 0);
  EXPECT_EQ(KVO_Core::conflict_copy_name(w(dir / "dst/a.txt"), local), name("dst", 2));
  EXPECT_EQ(KVO_Core::conflict_copy_name(w(dir / "dst/a.txt"), local, w(dir / "src/a.txt"), local),
            name("dst", 3));
}

TEST_F(TransferPass, BothConflictDirectionsLeaveBothVersionsOnBothSides) {
  SyncFlags flags;
  flags.twoWaySync = true;
  flags.conflictCopies = true;
  std::wstring const m = marker();
  struct Case {
    double source_time;
    double target_time;
  };
  for (Case const& c : {Case{200, 100}, Case{100, 200}}) {
    test_support::TempDir here;
    put(here / "src/a.txt", "base", 10);
    put(here / "dst/a.txt", "base", 10);
    auto const item = make_item(SyncItemType::File, here / "src/a.txt", here / "dst/a.txt", flags);
    KVO_Core::SyncState state(w(here / "src/a.txt"), w(here / "dst/a.txt"));
    pass(item, &state);
    put(here / "src/a.txt", "source edit", c.source_time);
    put(here / "dst/a.txt", "target edit!", c.target_time);
    pass(item, &state);
    bool const source_wins = c.source_time > c.target_time;
    std::string const winner = source_wins ? "source edit" : "target edit!";
    std::string const loser = source_wins ? "target edit!" : "source edit";
    std::string const copy =
        Utilities::util::wstring_to_string(KVO_Core::conflict_copy_candidate(L"a.txt", m, 1));
    for (char const* side : {"src", "dst"}) {
      EXPECT_EQ(test_support::read_file(here / side / "a.txt"), winner) << side;
      EXPECT_EQ(test_support::read_file(here / side / copy), loser) << side;
      EXPECT_EQ(leftovers(here / side), 0u);
    }
    EXPECT_EQ(fs::last_write_time(here / "src" / copy), fs::last_write_time(here / "dst" / copy));
    EXPECT_EQ(fs::last_write_time(here / "src/a.txt"), fs::last_write_time(here / "dst/a.txt"));
    EXPECT_TRUE(report.errors.empty());

    std::uint64_t const before = count;
    pass(item, &state);
    EXPECT_EQ(count, before);
    for (char const* side : {"src", "dst"})
      EXPECT_EQ(std::distance(fs::directory_iterator(here / side), fs::directory_iterator()), 2);
  }
}

// A loser that cannot be renamed (gone since the comparison, or on a side that cannot be
// reached) keeps its name: no conflict copy is made or noted, and one Error line tells why.
TEST_F(TransferPass, ALoserThatCannotBeRenamedGetsNoConflictCopy) {
  KVO_Core::RemotePlace const unreachable(L"nosuchaccount:/srv/data");
  put(dir / "src/a.txt", "winner", 0);
  fs::create_directories(dir / "dst");
  struct Case {
    std::wstring loser;
    KVO_Core::Place const& side;
  };
  for (Case const& c :
       {Case{w(dir / "dst/a.txt"), local}, Case{L"nosuchaccount:/srv/data/a.txt", unreachable}}) {
    LogLines log;
    EXPECT_EQ(KVO_Core::rename_to_conflict_copy(c.loser, c.side, w(dir / "src/a.txt"), local),
              std::nullopt);
    EXPECT_EQ(log.count(Utilities::LogLevel::Error, "rename_failed"), 1u);
    EXPECT_EQ(log.count(Utilities::LogLevel::Warning, "conflict_copy_made"), 0u);
  }
  EXPECT_TRUE(fs::is_empty(dir / "dst"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "src"), fs::directory_iterator()), 1);
}

}  // namespace
