// The kernel's table of mounted file systems, and whether a directory is the root of one.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct MountEntry {
  std::string device;       // the mount's source, as the kernel names it
  std::string mount_point;  // with the table's octal escapes (\040 for a blank) decoded
  std::string type;         // file-system type name
};

// Every file system mounted in this process's mount namespace, in the kernel's order. Reads
// /proc/self/mounts only, so an unresponsive file system (a dead network mount) cannot make it
// wait. Empty when the table cannot be read.
std::vector<MountEntry> mounted_filesystems();

// Whether `dir` (a final link not followed) is the root of a mount, from the kernel's mount-root
// attribute. Empty when the kernel does not give that attribute or `dir` cannot be examined; the
// caller then compares device numbers. Unlike device numbers this sees bind mounts, and does not
// take a btrfs subvolume (own device number, no mount of its own) for a mount.
std::optional<bool> kernel_mount_root(std::filesystem::path const& dir);

}  // namespace platform
