// The mounted-volume cache: read at most every 10 s, answered from the cache in between.
#include "utilities/MountedDrives.h"

#include <gtest/gtest.h>

#include "support/scoped_mount.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Utilities::MountedDrives;

class MountedDrivesTest : public ::testing::Test {
 protected:
  MountedDrives::Clock::time_point now = MountedDrives::Clock::now();
  MountedDrives drives{[this] { return now; }};
  test_support::TempDir temp;
};

TEST_F(MountedDrivesTest, CacheServesTenSecondsThenTheTableIsReadAgain) {
  EXPECT_TRUE(drives.time_elapsed());
  EXPECT_TRUE(drives.drive_mounted(temp / "missing", L""));
  EXPECT_FALSE(drives.time_elapsed());
  EXPECT_TRUE(drives.mount_point_exist("/"));

  // A volume mounted after the reading is not in the cached table.
  test_support::ScopedTmpfs mount(temp / "vol", "size=64k");
  if (!mount.ok()) GTEST_SKIP() << mount.error();
  auto const inside = temp / "vol/missing";
  now += 5s;
  EXPECT_FALSE(drives.drive_mounted(inside, L""));
  now += 5s;  // exactly 10 s: still the cache
  EXPECT_FALSE(drives.time_elapsed());
  EXPECT_FALSE(drives.drive_mounted(inside, L""));
  now += 1us;
  EXPECT_TRUE(drives.time_elapsed());
  EXPECT_TRUE(drives.drive_mounted(inside, L""));
  EXPECT_TRUE(drives.mount_point_exist(fs::weakly_canonical(temp / "vol").string()));
}

TEST_F(MountedDrivesTest, RelativePathsAreTakenFromTheCurrentDirectory) {
  test_support::ScopedTmpfs mount(temp / "vol", "size=64k");
  if (!mount.ok()) GTEST_SKIP() << mount.error();
  auto const old = fs::current_path();
  fs::current_path(temp / "vol");
  bool const fresh = drives.drive_mounted("missing/deeper", L"");
  now += 1s;
  bool const cached = drives.drive_mounted("missing/deeper", L"");
  fs::current_path(old);
  EXPECT_TRUE(fresh);
  EXPECT_TRUE(cached);
}

TEST_F(MountedDrivesTest, AVolumeUnmountedSinceAReadingLeavesItsFolderUnmounted) {
  fs::path const dir = fs::weakly_canonical(temp.path()) / "vol";
  {
    test_support::ScopedTmpfs mount(dir, "size=64k");
    if (!mount.ok()) GTEST_SKIP() << mount.error();
    EXPECT_TRUE(drives.drive_mounted(dir / "backup/missing", L""));
  }
  // The folder is still there, on the file system below it.
  ASSERT_TRUE(fs::is_directory(dir));
  now += 11s;
  struct Case {
    fs::path path;
    bool mounted;
  } const cases[] = {
      {dir / "backup/missing", false},
      {dir, false},
      {dir / "..", true},
      {temp.path() / "volume-next-door", true},
  };
  for (Case const& c : cases) EXPECT_EQ(drives.drive_mounted(c.path, L""), c.mounted) << c.path;
  now += 1s;  // from the cached table too
  for (Case const& c : cases) EXPECT_EQ(drives.drive_mounted(c.path, L""), c.mounted) << c.path;

  test_support::ScopedTmpfs again(dir, "size=64k");
  ASSERT_TRUE(again.ok()) << again.error();
  now += 11s;
  EXPECT_TRUE(drives.drive_mounted(dir / "backup/missing", L""));
}

TEST_F(MountedDrivesTest, AFolderAnswerServesOnlyWhileTheFolderKeepsItsMount) {
  fs::path const dir = fs::weakly_canonical(temp.path()) / "vol";
  fs::create_directories(dir);
  EXPECT_TRUE(drives.drive_mounted(dir / "a", L""));
  {
    test_support::ScopedTmpfs mount(dir, "size=64k");
    if (!mount.ok()) GTEST_SKIP() << mount.error();
    now += 1s;
    // Mounted after the reading: not in the cached table, whatever the folder answered before.
    EXPECT_FALSE(drives.drive_mounted(dir / "a", L""));
    now += 10s;
    EXPECT_TRUE(drives.drive_mounted(dir / "a", L""));
    now += 1s;
    EXPECT_TRUE(drives.drive_mounted(dir / "b", L""));
  }
  now += 1s;
  EXPECT_FALSE(drives.drive_mounted(dir / "a", L""));
  EXPECT_FALSE(drives.drive_mounted(dir / "b", L""));
  EXPECT_TRUE(drives.drive_mounted(temp / "next-to-vol", L""));
}

TEST(MountPoint, OfPathAndSingleton) {
  EXPECT_EQ(Utilities::get_mount_point("/"), "/");
  EXPECT_TRUE(MountedDrives::instance().drive_mounted("/", L""));
  EXPECT_EQ(&MountedDrives::instance(), &MountedDrives::instance());
}

TEST(Fstab, KeepsOnlyCompleteLines) {
  test_support::TempDir temp;
  test_support::write_file(temp / "fstab",
                           "# comment line\n"
                           "\n"
                           "/dev/sda1 / ext4 defaults 0\n"
                           "/dev/sda2 /home ext4 defaults 0 2 trailing words\n"
                           "/dev/sda3 /data xfs noatime x 1\n"
                           "UUID=1 /boot vfat umask=077 0 1");
  auto const entries = Utilities::parse_fstab((temp / "fstab").string());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].device, "/dev/sda2");
  EXPECT_EQ(entries[0].mount_point, "/home");
  EXPECT_EQ(entries[0].type, "ext4");
  EXPECT_EQ(entries[0].options, "defaults");
  EXPECT_EQ(entries[0].dump, 0);
  EXPECT_EQ(entries[0].pass, 2);
  EXPECT_EQ(entries[1].mount_point, "/boot");
  EXPECT_TRUE(Utilities::parse_fstab((temp / "missing").string()).empty());
}

}  // namespace
