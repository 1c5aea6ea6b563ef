// The mount table as the kernel lists it, and mount roots as the kernel marks them.
#include "platform/MountTable.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>

#include "support/scoped_mount.h"
#include "support/temp_dir.h"

namespace {

std::optional<platform::MountEntry> entry_at(std::string const& mount_point) {
  auto table = platform::mounted_filesystems();
  auto it = std::find_if(table.begin(), table.end(),
                         [&](auto const& e) { return e.mount_point == mount_point; });
  if (it == table.end()) return std::nullopt;
  return *it;
}

TEST(MountTable, ListsRootAndANewMountWithBlanksDecoded) {
  ASSERT_TRUE(entry_at("/").has_value());

  test_support::TempDir temp;
  auto dir = temp / "vol with blank€";
  test_support::ScopedTmpfs tmpfs(dir, "size=64k");
  if (!tmpfs.ok()) GTEST_SKIP() << tmpfs.error();
  auto entry = entry_at(dir.string());
  ASSERT_TRUE(entry.has_value()) << "the \\040 escape of the blank must be decoded";
  EXPECT_EQ(entry->type, "tmpfs");
  EXPECT_EQ(entry->device, "pelli-test");
}

TEST(MountTable, KernelMarksMountRootsIncludingBindMounts) {
  auto root = platform::kernel_mount_root("/");
  if (!root) GTEST_SKIP() << "this kernel does not give the mount-root attribute";
  EXPECT_TRUE(*root);

  test_support::TempDir temp;
  EXPECT_EQ(platform::kernel_mount_root(temp / "missing"), std::nullopt);
  std::filesystem::create_directories(temp / "plain/sub");
  EXPECT_EQ(platform::kernel_mount_root(temp / "plain/sub"), false);

  test_support::ScopedTmpfs tmpfs(temp / "mnt");
  if (!tmpfs.ok()) GTEST_SKIP() << tmpfs.error();
  std::filesystem::create_directories(temp / "mnt/inner");
  EXPECT_EQ(platform::kernel_mount_root(temp / "mnt"), true);
  EXPECT_EQ(platform::kernel_mount_root(temp / "mnt/inner"), false);

  // A bind mount keeps the device number of its source: only the attribute tells it is a mount.
  ASSERT_EQ(
      ::mount((temp / "plain").c_str(), (temp / "plain/sub").c_str(), nullptr, MS_BIND, nullptr),
      0);
  EXPECT_EQ(platform::kernel_mount_root(temp / "plain/sub"), true);
  ::umount2((temp / "plain/sub").c_str(), MNT_DETACH);
}

}  // namespace
