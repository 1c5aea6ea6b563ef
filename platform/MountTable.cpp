#include "platform/MountTable.h"

#include <fcntl.h>
#include <mntent.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>

#ifndef STATX_ATTR_MOUNT_ROOT
#define STATX_ATTR_MOUNT_ROOT 0x00002000
#endif

namespace platform {

namespace {
struct MntFileCloser {
  void operator()(FILE* f) const { endmntent(f); }
};
}  // namespace

std::vector<MountEntry> mounted_filesystems() {
  std::vector<MountEntry> result;
  std::unique_ptr<FILE, MntFileCloser> table(setmntent("/proc/self/mounts", "re"));
  if (!table) return result;
  // Lines longer than the buffer lose their tail (the options); glibc skips the rest of the line,
  // and the fields read here come first.
  std::vector<char> buffer(64 * 1024);
  mntent entry{};
  while (getmntent_r(table.get(), &entry, buffer.data(), static_cast<int>(buffer.size()))) {
    result.push_back({entry.mnt_fsname ? entry.mnt_fsname : "", entry.mnt_dir ? entry.mnt_dir : "",
                      entry.mnt_type ? entry.mnt_type : ""});
  }
  return result;
}

std::optional<bool> kernel_mount_root(std::filesystem::path const& dir) {
  struct statx sx {};
  if (::statx(AT_FDCWD, dir.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &sx) != 0)
    return std::nullopt;
  if (!(sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)) return std::nullopt;
  return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

}  // namespace platform
