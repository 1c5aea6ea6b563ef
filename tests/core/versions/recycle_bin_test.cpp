#include "core/versions/RecycleBin.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "versions_fixture.h"

namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

class RecycleBinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = bin().bin_path();
    bin().bin_path(root());
    fs::create_directories(root());
  }
  void TearDown() override { bin().bin_path(saved_); }
  static KVO_Core::RecycleBin& bin() { return KVO_Core::RecycleBin::instance(); }
  fs::path root() const { return dir_.path() / "bin"; }

  TempDir dir_;
  fs::path saved_;
};

TEST_F(RecycleBinTest, BadRelativePathsAreRefusedEverywhere) {
  write_file(dir_ / "a.txt", "keep");
  write_file(root() / "a/inside.txt", "inside");
  for (std::string relative : {"", "../x", "/abs/x", ".", "a/..", "./", "a/../../x"}) {
    EXPECT_EQ(bin().add_refusal(dir_ / "a.txt", relative), 10) << relative;
    EXPECT_FALSE(bin().has_item(relative)) << relative;
    EXPECT_FALSE(bin().take_item(relative, dir_ / "out")) << relative;
    EXPECT_FALSE(bin().remove_item(relative)) << relative;
  }
  EXPECT_EQ(read_file(dir_ / "a.txt"), "keep");
  EXPECT_EQ(read_file(root() / "a/inside.txt"), "inside");
  EXPECT_FALSE(fs::exists(dir_ / "out"));
  EXPECT_FALSE(fs::exists(dir_.path() / "x"));
}

TEST_F(RecycleBinTest, AddTakeAndRemove) {
  EXPECT_EQ(bin().add_refusal(dir_ / "missing.txt", "m.txt"), 1);

  write_file(dir_ / "a.txt", "first");
  write_file(dir_ / "b.txt", "second");
  ASSERT_EQ(bin().add_refusal(dir_ / "a.txt", "x/y/a.txt"), 0);
  EXPECT_FALSE(fs::exists(dir_ / "a.txt"));
  EXPECT_TRUE(bin().has_item("x/y/a.txt"));
  EXPECT_TRUE(bin().has_item("x/./y/a.txt"));

  // An occupied place is never overwritten, in either direction.
  EXPECT_EQ(bin().add_refusal(dir_ / "b.txt", "x/y/a.txt"), 10);
  EXPECT_EQ(read_file(dir_ / "b.txt"), "second");
  EXPECT_EQ(read_file(root() / "x/y/a.txt"), "first");
  EXPECT_FALSE(bin().take_item("x/y/a.txt", dir_ / "b.txt"));
  EXPECT_EQ(read_file(dir_ / "b.txt"), "second");
  EXPECT_TRUE(bin().has_item("x/y/a.txt"));

  ASSERT_TRUE(bin().take_item("x/y/a.txt", dir_ / "back/a.txt"));
  EXPECT_EQ(read_file(dir_ / "back/a.txt"), "first");
  EXPECT_TRUE(fs::is_directory(root() / "x/y"));  // taking out leaves the folders
  EXPECT_FALSE(bin().take_item("x/y/a.txt", dir_ / "again.txt"));

  ASSERT_EQ(bin().add_refusal(dir_ / "b.txt", "x/y/b.txt"), 0);
  write_file(root() / "x/other.txt", "");
  EXPECT_TRUE(bin().remove_item("x/y/b.txt"));
  EXPECT_FALSE(fs::exists(root() / "x/y"));
  EXPECT_TRUE(fs::exists(root() / "x/other.txt"));
  EXPECT_TRUE(bin().remove_item("x/other.txt"));
  EXPECT_FALSE(fs::exists(root() / "x"));
  EXPECT_TRUE(fs::is_directory(root()));  // never the root
  EXPECT_FALSE(bin().remove_item("x/other.txt"));
}

TEST_F(RecycleBinTest, ListSkipsDirectoryLinksAndKeepsFileLinks) {
  bin().bin_path(dir_.path() / "no-bin");
  EXPECT_TRUE(bin().list_items().empty());
  bin().bin_path(root());

  write_file(dir_ / "outside/secret.txt", "");
  write_file(root() / "a/f.txt", "");
  fs::create_directory_symlink(dir_.path() / "outside", root() / "a/dirlink");
  fs::create_symlink(dir_.path() / "outside/secret.txt", root() / "filelink");
  fs::create_symlink(dir_.path() / "gone", root() / "dangling");
  auto items = bin().list_items();
  std::set<fs::path> listed(items.begin(), items.end());
  EXPECT_EQ(listed, (std::set<fs::path>{"a/f.txt", "filelink", "dangling"}));
}

TEST_F(RecycleBinTest, WholeFoldersMoveWithTheirContent) {
  write_file(dir_ / "tree/sub/f.txt", "f");
  ASSERT_EQ(bin().add_refusal(dir_ / "tree", "t/2024-05-01_10-02-03-004_tree"), 0);
  EXPECT_EQ(read_file(root() / "t/2024-05-01_10-02-03-004_tree/sub/f.txt"), "f");
  EXPECT_FALSE(fs::exists(dir_ / "tree"));
}

// The bin on a small tmpfs of its own, the files on the disk: every move is a copy.
TEST(RecycleBinChild, AcrossFileSystems) {
  auto folder = versions_test::child_folder();
  if (folder.empty()) GTEST_SKIP() << "runs only as the child of RecycleBinTest.AcrossFileSystems";
  fs::path dir(folder);
  auto& bin = KVO_Core::RecycleBin::instance();
  bin.bin_path(dir / "bin");

  write_file(dir / "src/a.txt", "content");
  ASSERT_EQ(test_support::run("touch -d '2021-02-03 04:05:06.123456789' '" +
                              (dir / "src/a.txt").string() + "'"),
            0);
  auto time = versions_test::mtime_ns(dir / "src/a.txt");
  ASSERT_EQ(bin.add_refusal(dir / "src/a.txt", "u/a.txt"), 0);
  EXPECT_FALSE(fs::exists(dir / "src/a.txt"));
  EXPECT_EQ(read_file(dir / "bin/u/a.txt"), "content");
  EXPECT_EQ(versions_test::mtime_ns(dir / "bin/u/a.txt"), time);

  write_file(dir / "src/tree/sub/f.txt", "f");
  fs::create_symlink("sub/f.txt", dir / "src/tree/link");
  ASSERT_EQ(test_support::run("touch -d '2020-01-01 00:00:00.5' '" +
                              (dir / "src/tree/sub/f.txt").string() + "'"),
            0);
  auto inner = versions_test::mtime_ns(dir / "src/tree/sub/f.txt");
  ASSERT_EQ(bin.add_refusal(dir / "src/tree", "u/tree"), 0);
  EXPECT_FALSE(fs::exists(dir / "src/tree"));
  EXPECT_EQ(versions_test::mtime_ns(dir / "bin/u/tree/sub/f.txt"), inner);
  EXPECT_EQ(fs::read_symlink(dir / "bin/u/tree/link"), "sub/f.txt");

  // Larger than the bin's room: refused before anything is copied.
  write_file(dir / "src/big", std::string(3 << 20, 'x'));
  EXPECT_EQ(bin.add_refusal(dir / "src/big", "u/big"), 18);
  EXPECT_EQ(fs::file_size(dir / "src/big"), 3u << 20);
  EXPECT_FALSE(fs::exists(dir / "bin/u/big"));

  ASSERT_TRUE(bin.take_item("u/a.txt", dir / "back/a.txt"));
  EXPECT_EQ(read_file(dir / "back/a.txt"), "content");
  EXPECT_EQ(versions_test::mtime_ns(dir / "back/a.txt"), time);
  EXPECT_FALSE(fs::exists(dir / "bin/u/a.txt"));
  for (auto const& name : versions_test::names_in(dir / "bin/u"))
    EXPECT_EQ(name.find(".kvo-part"), std::string::npos) << name;
}

TEST(RecycleBinAcrossFileSystems, CopiesKeepTimesAndRemoveTheSource) {
  if (test_support::run("unshare -m true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no private mount namespace here (unshare -m needs CAP_SYS_ADMIN)";
  TempDir dir;
  fs::create_directories(dir.path() / "bin");
  std::string mount = "unshare -m sh -c 'mount -t tmpfs -o size=2m tmpfs \"" +
                      (dir.path() / "bin").string() + "\" && exec \"$0\" \"$@\"'";
  int status = versions_test::run_child(mount, "RecycleBinChild.AcrossFileSystems", dir.path());
  auto log = read_file(dir / "child.log");
  EXPECT_EQ(status, 0) << log;
  EXPECT_NE(log.find("[  PASSED  ] 1 test"), std::string::npos) << log;
}

}  // namespace
