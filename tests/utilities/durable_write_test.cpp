// Whole-file replacement: the old file keeps its bytes and mode on every failure, and nothing is
// written through whatever stands at the temporary name.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"
#include "utilities/DurableWrite.h"

namespace {

namespace fs = std::filesystem;
using Utilities::FilesystemUtil::replace_file_durably;

mode_t mode_of(fs::path const& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(DurableWrite, ReplacesKeepingTheModeAndCreatesNewFilesPrivate) {
  test_support::TempDir dir;
  test_support::write_file(dir / "kept", "old");
  ::chmod((dir / "kept").c_str(), 0640);
  auto const replaced = replace_file_durably(dir / "kept", "new");
  EXPECT_EQ(test_support::read_file(dir / "kept"), "new");
  EXPECT_EQ(mode_of(dir / "kept"), 0640u);
  EXPECT_EQ(replaced.written.st_size, 3);
  EXPECT_EQ(replaced.folder_sync_error, 0);

  replace_file_durably(dir / "fresh", "x");
  EXPECT_EQ(mode_of(dir / "fresh"), 0600u);
  EXPECT_FALSE(fs::exists(dir / "fresh.tmp"));
}

TEST(DurableWrite, ALeftoverRegularFileAtTheTemporaryNameIsCleared) {
  test_support::TempDir dir;
  test_support::write_file(dir / "f", "old");
  test_support::write_file(dir / "f.tmp", "half written");
  replace_file_durably(dir / "f", "new");
  EXPECT_EQ(test_support::read_file(dir / "f"), "new");
  EXPECT_FALSE(fs::exists(dir / "f.tmp"));
}

TEST(DurableWrite, WhatIsNotOursAtTheTemporaryNameFailsTheWrite) {
  struct Case {
    char const* name;
    void (*place)(fs::path const& tmp, fs::path const& outside);
  } const cases[] = {
      {"directory", [](fs::path const& tmp, fs::path const&) { fs::create_directory(tmp); }},
      {"link to an outside file",
       [](fs::path const& tmp, fs::path const& outside) { fs::create_symlink(outside, tmp); }},
  };
  for (auto const& c : cases) {
    test_support::TempDir dir;
    test_support::write_file(dir / "f", "old");
    test_support::write_file(dir / "outside", "theirs");
    c.place(dir / "f.tmp", dir / "outside");
    EXPECT_THROW(replace_file_durably(dir / "f", "new"), std::system_error) << c.name;
    EXPECT_EQ(test_support::read_file(dir / "f"), "old") << c.name;
    EXPECT_EQ(test_support::read_file(dir / "outside"), "theirs") << c.name;
    EXPECT_TRUE(fs::exists(fs::symlink_status(dir / "f.tmp"))) << c.name;
  }
}

TEST(DurableWrite, AMissingFolderFailsWithoutCreatingAnything) {
  test_support::TempDir dir;
  EXPECT_THROW(replace_file_durably(dir / "no/such/f", "x"), std::system_error);
  EXPECT_FALSE(fs::exists(dir / "no"));
}

}  // namespace
