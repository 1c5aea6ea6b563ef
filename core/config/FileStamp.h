// What tells a file apart from its earlier self: last-write time to the nanosecond, size, device
// and inode (Linux mtimes can be coarse, and a same-size replacement by rename keeps the time).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>

namespace KVO_Core {

struct FileStamp {
  bool exists = false;
  std::int64_t mtime_ns = 0;
  std::uint64_t size = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  friend bool operator==(FileStamp const&, FileStamp const&) = default;
};

// The stamp of the file at path (links followed); exists false when it cannot be had.
FileStamp file_stamp_of(std::filesystem::path const& path);
// The stamp of an open file.
FileStamp file_stamp_of(int fd);
// The stamp that a stat result describes.
FileStamp file_stamp_of(struct stat const& st);

}  // namespace KVO_Core
