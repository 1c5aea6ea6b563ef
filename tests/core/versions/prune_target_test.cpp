#include "core/versions/PruneTarget.h"

#include <gtest/gtest.h>

#include "core/config/SyncItem.h"
#include "utilities/Paths.h"
#include "versions_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace KVO_Core;
using test_support::TempDir;
using test_support::write_file;

void generations_of(fs::path const& file, int count) {
  for (int i = 1; i <= count; ++i) write_file(file.string() + ".bak." + std::to_string(i), "");
}

std::set<std::string> generations_in(fs::path const& folder, std::string const& base) {
  std::set<std::string> found;
  for (auto const& name : versions_test::names_in(folder))
    if (name.starts_with(base + ".bak.")) found.insert(name.substr(base.size() + 5));
  return found;
}

SyncItem item(SyncItemType type, fs::path const& source, fs::path const& target, std::uint16_t keep,
              std::wstring wildcard = L"") {
  SyncItem made(L"item", type, Utilities::from_path(source), Utilities::from_path(target),
                std::move(wildcard));
  made.flags.fatherSonPrinciple = true;
  made.flags.maxGenerations = keep;
  return made;
}

std::atomic<bool> const go{false};

TEST(PruneTarget, NothingWithoutGenerationsOrLimit) {
  TempDir dir;
  generations_of(dir / "t/x.txt", 5);
  auto off = item(SyncItemType::Tree, dir / "s", dir / "t", 2);
  off.flags.fatherSonPrinciple = false;
  EXPECT_EQ(generations::prune_target(off, go), 0u);
  EXPECT_EQ(generations::prune_target(item(SyncItemType::Tree, dir / "s", dir / "t", 0), go), 0u);
  std::atomic<bool> stopped{true};
  EXPECT_EQ(generations::prune_target(item(SyncItemType::Tree, dir / "s", dir / "t", 2), stopped),
            0u);
  EXPECT_EQ(generations_in(dir / "t", "x.txt").size(), 5u);
}

TEST(PruneTarget, OneLevelAndTreeItems) {
  for (auto type : {SyncItemType::Directory, SyncItemType::Tree}) {
    TempDir dir;
    generations_of(dir / "t/x.txt", 5);
    generations_of(dir / "t/sub/x.txt", 5);
    generations_of(dir / "t/skipped/x.txt", 5);
    generations_of(dir / "t/x.doc", 5);
    generations_of(dir / "outside/x.txt", 5);
    fs::create_directory_symlink(dir.path() / "outside", dir / "t/link");
    write_file(dir / "t/x.txt.bak.1234567890123456789", "");
    auto pruned = item(type, dir / "s", dir / "t", 2, L"*.txt");
    pruned.exclusions.patterns = {L"skip*"};

    bool tree = type == SyncItemType::Tree;
    EXPECT_EQ(generations::prune_target(pruned, go), tree ? 6u : 3u);
    EXPECT_EQ(generations_in(dir / "t", "x.txt"),
              (std::set<std::string>{"4", "5", "1234567890123456789"}));
    EXPECT_EQ(generations_in(dir / "t/sub", "x.txt").size(), tree ? 2u : 5u);
    EXPECT_EQ(generations_in(dir / "t/skipped", "x.txt").size(), 5u);
    EXPECT_EQ(generations_in(dir / "t", "x.doc").size(), 5u);
    EXPECT_EQ(generations_in(dir / "outside", "x.txt").size(), 5u);
  }
}

TEST(PruneTarget, SingleFileItems) {
  TempDir dir;
  generations_of(dir / "out/report.pdf", 4);
  generations_of(dir / "out/other.pdf", 4);
  generations_of(dir / "out/copy.pdf", 4);
  EXPECT_EQ(generations::prune_target(
                item(SyncItemType::File, dir / "in/report.pdf", dir / "out", 1), go),
            3u);
  EXPECT_EQ(generations_in(dir / "out", "report.pdf"), (std::set<std::string>{"4"}));
  EXPECT_EQ(generations_in(dir / "out", "other.pdf").size(), 4u);

  write_file(dir / "out/copy.pdf", "");
  generations_of(dir / "out/report.pdf", 3);
  EXPECT_EQ(generations::prune_target(
                item(SyncItemType::File, dir / "in/report.pdf", dir / "out/copy.pdf", 1), go),
            6u);
  EXPECT_EQ(generations_in(dir / "out", "copy.pdf"), (std::set<std::string>{"4"}));
  EXPECT_EQ(generations_in(dir / "out", "report.pdf"), (std::set<std::string>{"4"}));
  EXPECT_EQ(generations_in(dir / "out", "other.pdf").size(), 4u);
}

}  // namespace
