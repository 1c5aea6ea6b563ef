#include "core/versions/Generations.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/config/SyncItem.h"
#include "core/versions/GenerationName.h"
#include "core/versions/ParkGeneration.h"
#include "core/versions/PruneTarget.h"
#include "core/versions/Restore.h"
#include "utilities/Paths.h"
#include "utilities/Util.h"
#include "versions_fixture.h"

namespace {

using namespace KVO_Core;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

TEST(Generations, NumbersRecogniseOnlyTheExactForm) {
  std::set<std::wstring> siblings{L"a.txt.bak.2",
                                  L"a.txt.bak.10",
                                  L"a.txt.bak.007",
                                  L"a.txt.bak.",
                                  L"a.txt.bak.x1",
                                  L"a.txt.bak.1a",
                                  L"a.txt.bak.1.bak.2",
                                  L"ab.txt.bak.1",
                                  L"A.TXT.bak.1",
                                  L"a.txt.bak.1234567890123456789",
                                  L"a.txt",
                                  L"a.txt.bak.999999999999999999"};
  EXPECT_EQ(generations::numbers(L"d/a.txt", siblings),
            (std::vector<std::uint64_t>{2, 7, 10, 999999999999999999ULL}));
  EXPECT_EQ(generations::next(L"d/a.txt", siblings), L"d/a.txt.bak.1000000000000000000");
}

TEST(Generations, GenerationNameForm) {
  for (std::wstring name : {L"report.txt.bak.12", L"a.bak.1", L"x.bak.1234567890123456789012"})
    EXPECT_TRUE(father_son_backup(name)) << Utilities::util::wstring_to_string(name);
  for (std::wstring name : {L".bak.3", L"report.bak.", L"report.bak.1a", L"report.bak", L"a.bak.1.",
                            L"a.bak.\x0661", L""})
    EXPECT_FALSE(father_son_backup(name)) << Utilities::util::wstring_to_string(name);
}

TEST(Generations, NextAndSurplusTable) {
  struct Case {
    std::set<std::wstring> siblings;
    std::uint16_t keep;
    std::wstring next;
    std::vector<std::wstring> surplus;
  };
  std::vector<Case> cases{
      {{}, 2, L"d/a.txt.bak.1", {}},
      {{L"a.txt.bak.2", L"a.txt.bak.10"}, 5, L"d/a.txt.bak.11", {}},
      {{L"a.txt.bak.1", L"a.txt.bak.3"}, 0, L"d/a.txt.bak.4", {}},
      {{L"a.txt.bak.1", L"a.txt.bak.2", L"a.txt.bak.3", L"a.txt.bak.5"},
       2,
       L"d/a.txt.bak.6",
       {L"d/a.txt.bak.1", L"d/a.txt.bak.2"}},
      // Spelled with a leading zero: removed under the name without it.
      {{L"a.txt.bak.01", L"a.txt.bak.2"}, 1, L"d/a.txt.bak.3", {L"d/a.txt.bak.1"}},
  };
  for (auto const& c : cases) {
    EXPECT_EQ(generations::next(L"d/a.txt", c.siblings), c.next);
    EXPECT_EQ(generations::surplus(L"d/a.txt", c.siblings, c.keep), c.surplus);
  }
}

TEST(Generations, BackslashIsPartOfTheName) {
  std::set<std::wstring> siblings{L"x\\y.txt.bak.4", L"y.txt.bak.9"};
  EXPECT_EQ(generations::numbers(L"d/x\\y.txt", siblings), (std::vector<std::uint64_t>{4}));
  EXPECT_EQ(generations::next(L"d/x\\y.txt", siblings), L"d/x\\y.txt.bak.5");
}

TEST(Generations, SiblingsOfAMissingFolderAreEmpty) {
  TempDir dir;
  EXPECT_TRUE(
      generations::siblings(Utilities::from_path(dir.path() / "none/a.txt"), false).empty());
  write_file(dir / "a.txt.bak.3", "");
  write_file(dir / "sub/x", "");
  EXPECT_EQ(generations::siblings(Utilities::from_path(dir.path() / "a.txt"), false),
            (std::set<std::wstring>{L"a.txt.bak.3", L"sub"}));
  EXPECT_EQ(generations::next(Utilities::from_path(dir.path() / "a.txt"), false),
            Utilities::from_path(dir.path() / "a.txt.bak.4"));
}

TEST(Generations, FiveReplacementsKeepTheTwoNewest) {
  TempDir dir;
  auto file = dir.path() / "report.txt";
  write_file(file, "v0");
  write_file(dir / "report.txt.bak", "unrelated");
  write_file(dir / "report.txt.bak.1a", "unrelated");
  for (int i = 1; i <= 5; ++i) {
    std::wstring parked;
    ASSERT_EQ(generations::park_refusal(Utilities::from_path(file), parked), 0);
    EXPECT_EQ(parked, Utilities::from_path(file) + L".bak." + std::to_wstring(i));
    write_file(file, "v" + std::to_string(i));
    generations::prune(Utilities::from_path(file), false, 2);
  }
  EXPECT_EQ(versions_test::names_in(dir.path()),
            (std::set<std::string>{"report.txt", "report.txt.bak", "report.txt.bak.1a",
                                   "report.txt.bak.4", "report.txt.bak.5"}));
  EXPECT_EQ(read_file(file), "v5");
  EXPECT_EQ(read_file(dir / "report.txt.bak.4"), "v3");
  EXPECT_EQ(read_file(dir / "report.txt.bak.5"), "v4");
}

TEST(Generations, PruneWithKeepZeroKeepsAll) {
  TempDir dir;
  for (int i = 1; i <= 3; ++i) write_file(dir / ("a.bak." + std::to_string(i)), "");
  generations::prune(Utilities::from_path(dir.path() / "a"), false, 0);
  EXPECT_EQ(versions_test::names_in(dir.path()).size(), 3u);
}

TEST(Generations, RemoveAllCountsOnlyWhatWasRemoved) {
  TempDir dir;
  write_file(dir / "a.bak.1", "");
  EXPECT_EQ(generations::remove_all({Utilities::from_path(dir.path() / "a.bak.1"),
                                     Utilities::from_path(dir.path() / "a.bak.2")},
                                    false),
            1u);
  EXPECT_TRUE(versions_test::names_in(dir.path()).empty());
}

// An unlistable folder: the next number cannot be known, so nothing is moved (it could only be
// guessed, and a guess would land on an older generation). Runs as nobody, since root lists all.
TEST(GenerationsChild, UnlistableFolderRefusesToPark) {
  auto folder = versions_test::child_folder();
  if (folder.empty()) GTEST_SKIP() << "runs only as the child of UnlistableFolderRefusesToPark";
  std::wstring parked;
  auto file = std::filesystem::path(folder) / "locked/a.txt";
  EXPECT_NE(generations::park_refusal(Utilities::from_path(file), parked), 0);
  EXPECT_TRUE(parked.empty());
  EXPECT_TRUE(generations::siblings(Utilities::from_path(file), false).empty());

  // Pruning and finding over the same folder quietly find nothing.
  SyncItem item(L"locked", SyncItemType::Directory, Utilities::from_path(file.parent_path()),
                Utilities::from_path(file.parent_path()), L"");
  item.flags.fatherSonPrinciple = true;
  item.flags.maxGenerations = 1;
  std::atomic<bool> go{false};
  EXPECT_EQ(generations::prune_target(item, go), 0u);
  EXPECT_TRUE(restore::find({item}, go).empty());
}

TEST(Generations, UnlistableFolderRefusesToPark) {
  TempDir dir;
  write_file(dir / "locked/a.txt", "new");
  write_file(dir / "locked/a.txt.bak.1", "old");
  ASSERT_EQ(test_support::run("chmod 0755 '" + dir.path().string() + "' && chown -R 65534 '" +
                              dir.path().string() + "/locked' && chmod 0300 '" +
                              dir.path().string() + "/locked'"),
            0);
  int status = versions_test::run_child(
      versions_test::as_nobody(), "GenerationsChild.UnlistableFolderRefusesToPark", dir.path());
  EXPECT_EQ(status, 0) << read_file(dir / "child.log");
  EXPECT_NE(read_file(dir / "child.log").find("[  PASSED  ] 1 test"), std::string::npos);
  EXPECT_EQ(read_file(dir / "locked/a.txt"), "new");
  EXPECT_EQ(read_file(dir / "locked/a.txt.bak.1"), "old");
}

}  // namespace
