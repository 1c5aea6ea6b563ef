#include "core/sync/transfer/FileSystemTraits.h"

#include <sys/vfs.h>

#include <cstdint>

namespace KVO_Core::fs_traits {

namespace {

// Magic numbers of statfs's f_type.
constexpr std::uint64_t MSDOS = 0x4d44;
constexpr std::uint64_t EXFAT = 0x2011BAB0;
constexpr std::uint64_t NTFS_OLD = 0x5346544e;
constexpr std::uint64_t NTFS3 = 0x7366746e;
constexpr std::uint64_t CIFS = 0xFF534D42;
constexpr std::uint64_t SMB2 = 0xFE534D42;
constexpr std::uint64_t SMB = 0x517B;
constexpr std::uint64_t HFSPLUS = 0x482b;
constexpr std::uint64_t ISOFS = 0x9660;

// The type of the file system holding path, or of its folder when path does not exist yet.
std::uint64_t type_of(std::filesystem::path const& path) {
  struct statfs info {};
  if (::statfs(path.c_str(), &info) == 0) return static_cast<std::uint64_t>(info.f_type);
  auto folder = path.parent_path();
  if (folder.empty()) folder = ".";
  if (::statfs(folder.c_str(), &info) == 0) return static_cast<std::uint64_t>(info.f_type);
  return 0;
}

}  // namespace

std::chrono::nanoseconds time_granularity(std::filesystem::path const& path) {
  using namespace std::chrono_literals;
  switch (type_of(path)) {
    case MSDOS:
      return 2s;
    case EXFAT:
      return 10ms;
    case HFSPLUS:
    case ISOFS:
      return 1s;
    case NTFS_OLD:
    case NTFS3:
    case CIFS:
    case SMB2:
    case SMB:
      return 100ns;
    default:
      return 1ns;
  }
}

bool keeps_permissions(std::filesystem::path const& path) {
  switch (type_of(path)) {
    case MSDOS:
    case EXFAT:
    case NTFS_OLD:
    case NTFS3:
    case CIFS:
    case SMB2:
    case SMB:
      return false;
    default:
      return true;
  }
}

}  // namespace KVO_Core::fs_traits
