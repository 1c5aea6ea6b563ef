#include "core/config/FileStamp.h"

#include <sys/stat.h>

namespace KVO_Core {

FileStamp file_stamp_of(struct stat const& st) {
  FileStamp stamp;
  stamp.exists = true;
  stamp.mtime_ns =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.device = static_cast<std::uint64_t>(st.st_dev);
  stamp.inode = static_cast<std::uint64_t>(st.st_ino);
  return stamp;
}

FileStamp file_stamp_of(std::filesystem::path const& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return file_stamp_of(st);
}

FileStamp file_stamp_of(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return {};
  return file_stamp_of(st);
}

}  // namespace KVO_Core
