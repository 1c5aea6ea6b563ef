#include <gtest/gtest.h>

#include "core/config/Config.h"
#include "core/config/SyncItem.h"
#include "core/versions/BinNames.h"
#include "core/versions/DeleteOrRecycle.h"
#include "core/versions/RecycleBin.h"
#include "core/versions/Restore.h"
#include "utilities/Paths.h"
#include "versions_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace KVO_Core;
using namespace std::chrono;
using restore::Restorable;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

class Restore : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_root_ = bin().bin_path();
    bin().bin_path(dir_.path() / "bin");
  }
  void TearDown() override { bin().bin_path(saved_root_); }
  static KVO_Core::RecycleBin& bin() { return KVO_Core::RecycleBin::instance(); }
  fs::path path(std::string const& relative) const { return dir_.path() / relative; }
  SyncItem item(SyncItemType type, std::string const& source, std::string const& target,
                bool generations = true) const {
    SyncItem made(L"item", type, Utilities::from_path(path(source)),
                  Utilities::from_path(path(target)), L"");
    made.flags.fatherSonPrinciple = generations;
    return made;
  }
  // Recycles a new file at relative, deleted at when.
  void recycled(std::string const& relative, system_clock::time_point when) {
    write_file(path(relative), relative);
    ASSERT_EQ(recycle_refusal(path(relative), when), 0);
  }
  std::vector<Restorable> find(std::vector<SyncItem> const& items) {
    std::atomic<bool> stop{false};
    return restore::find(items, stop);
  }

  TempDir dir_;
  fs::path saved_root_;
};

system_clock::time_point at(int hour) {
  return system_clock::from_time_t(1714557600 + hour * 3600);
}

TEST_F(Restore, NothingToFind) { EXPECT_TRUE(find({}).empty()); }

TEST_F(Restore, BinItemsMapToTheLongestMatchingTarget) {
  recycled("data/photos/x.jpg", at(1));
  recycled("tgt/a.txt", at(2));
  recycled("tgt/sub/b.txt", at(3));
  recycled("elsewhere/c.txt", at(4));
  write_file(path("bin/foreign.txt"), "");  // unstamped: never offered
  auto found =
      find({item(SyncItemType::Tree, "src", "tgt"), item(SyncItemType::Tree, "all", "data"),
            item(SyncItemType::Tree, "pics", "data/photos")});
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].origin, path("elsewhere/c.txt"));
  EXPECT_EQ(found[1].origin, path("src/sub/b.txt"));
  EXPECT_EQ(found[2].origin, path("src/a.txt"));
  EXPECT_EQ(found[3].origin, path("pics/x.jpg"));
  EXPECT_EQ(found[3].kind, Restorable::Kind::Deleted);
  EXPECT_EQ(found[3].when, time_point_cast<microseconds>(at(1)));
  EXPECT_EQ(found[3].size, std::string("data/photos/x.jpg").size());
  EXPECT_TRUE(restore::place_known(found[3]));

  // A one-level item maps only direct children of its target.
  auto level = find({item(SyncItemType::Directory, "src", "tgt")});
  ASSERT_EQ(level.size(), 4u);
  EXPECT_EQ(level[1].origin, path("tgt/sub/b.txt"));
  EXPECT_EQ(level[2].origin, path("src/a.txt"));
}

TEST_F(Restore, GenerationsInLocalTargets) {
  write_file(path("t/report.pdf.bak.3"), "old report");
  write_file(path("t/deep/x.txt.bak.1"), "old x");
  write_file(path("t/notes.bak"), "");
  write_file(path("t/x.bak.1a"), "");
  auto tree = find({item(SyncItemType::Tree, "s", "t")});
  ASSERT_EQ(tree.size(), 2u);
  std::map<fs::path, fs::path> origins;
  for (auto const& r : tree) {
    EXPECT_EQ(r.kind, Restorable::Kind::Replaced);
    origins[r.location] = r.origin;
  }
  EXPECT_EQ(origins[path("t/report.pdf.bak.3")], path("s/report.pdf"));
  EXPECT_EQ(origins[path("t/deep/x.txt.bak.1")], path("s/deep/x.txt"));

  auto level = find({item(SyncItemType::Directory, "s", "t")});
  ASSERT_EQ(level.size(), 1u);
  EXPECT_EQ(level[0].size, 10u);
  EXPECT_TRUE(find({item(SyncItemType::Tree, "s", "t", false)}).empty());
}

TEST_F(Restore, StopEndsTheGenerationWalks) {
  write_file(path("t/a.txt.bak.1"), "");
  recycled("tgt/a.txt", at(2));
  std::atomic<bool> stop{true};
  auto found = restore::find({item(SyncItemType::Tree, "s", "t")}, stop);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].kind, Restorable::Kind::Deleted);
}

TEST_F(Restore, SingleFileItemWithAFileTarget) {
  write_file(path("out/copy.pdf"), "now");
  write_file(path("out/copy.pdf.bak.1"), "then");
  write_file(path("out/other.pdf.bak.1"), "unrelated");
  auto found = find({item(SyncItemType::File, "in/report.pdf", "out/copy.pdf")});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].location, path("out/copy.pdf.bak.1"));
  EXPECT_EQ(found[0].origin, path("in/report.pdf"));
}

TEST_F(Restore, PutBackNamesNeverOverwrite) {
  auto when = time_point_cast<microseconds>(system_clock::from_time_t(1714557723));
  std::tm local{};
  std::time_t seconds = system_clock::to_time_t(when);
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H-%M", &local);
  std::string label = std::string(" (") + stamp + ")";

  struct Case {
    std::string name;
    std::vector<std::string> expected;  // first, second, third restore
  };
  for (auto const& c : std::vector<Case>{
           {"report.pdf", {"report.pdf", "report" + label + ".pdf", "report" + label + " 2.pdf"}},
           {"Makefile", {"Makefile", "Makefile" + label, "Makefile" + label + " 2"}},
           {"archive.tar.gz",
            {"archive.tar.gz", "archive.tar" + label + ".gz", "archive.tar" + label + " 2.gz"}},
           {".bashrc", {".bashrc", ".bashrc" + label, ".bashrc" + label + " 2"}},
       }) {
    write_file(path("t/" + c.name + ".bak.1"), "generation");
    Restorable generation{Restorable::Kind::Replaced, path("t/" + c.name + ".bak.1"),
                          path("s/" + c.name), when, 10};
    for (auto const& expected : c.expected) {
      auto restored = restore::put_back(generation, path("into"));
      ASSERT_TRUE(restored) << c.name;
      EXPECT_EQ(*restored, path("into/" + expected));
      EXPECT_EQ(read_file(*restored), "generation");
    }
    EXPECT_TRUE(fs::exists(path("t/" + c.name + ".bak.1")));
  }
}

TEST_F(Restore, PutBackMovesBinItemsOut) {
  recycled("tgt/a.txt", at(2));
  auto found = find({});
  ASSERT_EQ(found.size(), 1u);
  write_file(path("into/a.txt"), "someone else's");
  auto restored = restore::put_back(found[0], path("into"));
  ASSERT_TRUE(restored);
  EXPECT_NE(*restored, path("into/a.txt"));
  EXPECT_EQ(read_file(*restored), "tgt/a.txt");
  EXPECT_EQ(read_file(path("into/a.txt")), "someone else's");
  EXPECT_TRUE(bin().list_items().empty());
  EXPECT_FALSE(restore::put_back(found[0], path("into2")));
}

// Names need not be UTF-8: the bytes survive the bin and the way back.
TEST_F(Restore, NamesThatAreNoUtf8KeepTheirBytes) {
  recycled("tgt/\xff\xfe.txt", at(2));
  auto found = find({item(SyncItemType::Tree, "src", "tgt")});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].origin, path("src/\xff\xfe.txt"));
  auto restored = restore::put_back(found[0], path("src"));
  ASSERT_TRUE(restored);
  EXPECT_EQ(*restored, path("src/\xff\xfe.txt"));
  EXPECT_EQ(read_file(*restored), "tgt/\xff\xfe.txt");
}

TEST_F(Restore, UncreatableDestinationChangesNothing) {
  write_file(path("t/a.txt.bak.1"), "g");
  write_file(path("blocker"), "");
  Restorable generation{Restorable::Kind::Replaced, path("t/a.txt.bak.1"), path("s/a.txt"), {}, 1};
  EXPECT_FALSE(restore::put_back(generation, path("blocker/sub")));
  EXPECT_EQ(read_file(path("t/a.txt.bak.1")), "g");
  EXPECT_FALSE(restore::place_known({Restorable::Kind::Deleted, "x", "relative/x", {}, 0}));
}

}  // namespace
