#include "utilities/FilesystemUtil.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ios>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/FileDescriptor.h"
#include "platform/MountTable.h"
#include "utilities/FileTime.h"
#include "utilities/MountedDrives.h"
#include "utilities/Paths.h"
#include "utilities/Util.h"

namespace Utilities::FilesystemUtil {

namespace {

// Large blocks: the comparison behind every verified copy reads both files in full.
constexpr std::size_t COMPARE_BLOCK = 256 * 1024;

bool missing_errno(int e) { return e == ENOENT || e == ENOTDIR; }

std::int64_t unix_nanoseconds(timespec const& ts) {
  constexpr std::int64_t limit = INT64_MAX / 1'000'000'000 - 1;
  if (ts.tv_sec > limit) return INT64_MAX;
  if (ts.tv_sec < -limit) return INT64_MIN;
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

ChangeStamp stamp_of(struct stat const& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::uint64_t>(st.st_size), unix_nanoseconds(st.st_mtim),
          unix_nanoseconds(st.st_ctim)};
}

// Local file systems that set the change time on every change of a file, from the clock. FAT and
// exFAT keep a creation time in its place; FUSE, NFS and SMB report what the other end says.
bool change_time_kept_by(int fd) {
  struct statfs info {};
  if (::fstatfs(fd, &info) != 0) return false;
  switch (static_cast<unsigned long>(info.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0x01021994:  // tmpfs
    case 0xF2F52010:  // f2fs
    case 0x2FC12FC1:  // zfs
      return true;
    default:
      return false;
  }
}

// Opens a file whose content is to be read without the risk of blocking: FIFOs, sockets and
// devices are refused with 16 before anything reads them. size (when given) gets its size,
// stamp its stamp.
platform::FileDescriptor open_regular(std::filesystem::path const& p, FileInfoResult& reason,
                                      std::uint64_t* size = nullptr, ChangeStamp* stamp = nullptr) {
  platform::FileDescriptor fd(::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    reason = reason_for_failure(last_stream_error());
    return fd;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    reason = reason_for_failure(last_stream_error());
    return {};
  }
  if (!S_ISREG(st.st_mode)) {
    reason = invalid_file_type;
    return {};
  }
  if (size) *size = static_cast<std::uint64_t>(st.st_size);
  if (stamp) *stamp = stamp_of(st);
  reason = no_failure;
  return fd;
}

// Fills up to size bytes unless the end comes first; -1 with errno on a read error. Reading
// stops too once exactly the bytes its fstat left (left) are in: no extra read to meet the end.
// A file that grew since gives more than that and is read on; one that grows after is as if it
// grew after the reading.
ssize_t read_full(int fd, char* buffer, std::size_t size,
                  std::uint64_t left = std::numeric_limits<std::uint64_t>::max()) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, buffer + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
    if (done == left) break;
  }
  return static_cast<ssize_t>(done);
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::filesystem::path absolute_best_effort(std::filesystem::path const& p) {
  std::error_code ec;
  auto result = std::filesystem::absolute(p, ec);
  return ec ? p : result;
}

// "/a/b/" and "/a/b" alike, so that parent_path climbs one element per step.
std::filesystem::path without_trailing_separator(std::filesystem::path p) {
  if (!p.has_filename() && p.has_relative_path()) p = p.parent_path();
  return p;
}

// Whether dir (with its lstat) is the root of a mount, against its parent; empty when the parent
// cannot be examined.
std::optional<bool> mount_root_against_parent(std::filesystem::path const& dir,
                                              struct stat const& dir_stat,
                                              struct stat& parent_stat) {
  auto const parent = dir.parent_path();
  if (::lstat(parent.c_str(), &parent_stat) != 0) return std::nullopt;
  if (auto kernel = platform::kernel_mount_root(dir)) return *kernel;
  return parent_stat.st_dev != dir_stat.st_dev;
}

}  // namespace

FileInfoResult fileinfo(std::wstring const& path, std::uint64_t& size,
                        std::filesystem::file_time_type& mtime, ChangeStamp* stamp) {
  auto const p = to_path(path);
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) {
    int const error = errno;
    if (!missing_errno(error))
      return reason_for_failure(std::error_code(error, std::generic_category()));
    if (!MountedDrives::instance().drive_mounted(p, path)) return drive_not_mounted;
    auto const trimmed = without_trailing_separator(p);
    if (!trimmed.has_parent_path() || trimmed.parent_path() == trimmed) return file_not_exist;
    struct stat parent {};
    if (::stat(trimmed.parent_path().c_str(), &parent) == 0)
      return S_ISDIR(parent.st_mode) ? file_not_exist : directory_not_exist;
    return errno == EACCES ? permission_denied : directory_not_exist;
  }
  if (!S_ISREG(st.st_mode)) return invalid_file_type;
  size = static_cast<std::uint64_t>(st.st_size);
  mtime = file_time::from_unix_nanoseconds(unix_nanoseconds(st.st_mtim));
  if (stamp) *stamp = stamp_of(st);
  return no_failure;
}

bool regular_entry(std::wstring const& path, std::uint64_t& size,
                   std::filesystem::file_time_type& mtime, ChangeStamp& stamp, bool& link) {
  return regular_entry(AT_FDCWD, to_path(path).c_str(), size, mtime, stamp, link);
}

bool regular_entry(int folder_fd, char const* name, std::uint64_t& size,
                   std::filesystem::file_time_type& mtime, ChangeStamp& stamp, bool& link) {
  struct stat st {};
  link = false;
  if (::fstatat(folder_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  link = S_ISLNK(st.st_mode);
  if (!S_ISREG(st.st_mode)) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  mtime = file_time::from_unix_nanoseconds(unix_nanoseconds(st.st_mtim));
  stamp = stamp_of(st);
  return true;
}

bool file_exists(std::wstring const& path) {
  struct stat st {};
  return ::stat(to_path(path).c_str(), &st) == 0;
}

bool touch(std::wstring const& path) {
  try {
    std::filesystem::last_write_time(to_path(path), std::filesystem::file_time_type::clock::now());
    return true;
  } catch (std::filesystem::filesystem_error const& e) {
    log_at(LogLevel::Error, L"Error in function touch: ", e.what());
  }
  return false;
}

ContentComparison compare_content(std::wstring const& a, std::wstring const& b,
                                  ChangeStamp* stamp_a, ChangeStamp* stamp_b,
                                  std::int64_t settled_before_ns) {
  FileInfoResult reason = no_failure;
  std::uint64_t size_a = 0;
  std::uint64_t size_b = 0;
  platform::FileDescriptor fa = open_regular(to_path(a), reason, &size_a, stamp_a);
  if (!fa) return {false, reason, a};
  platform::FileDescriptor fb = open_regular(to_path(b), reason, &size_b, stamp_b);
  if (!fb) return {false, reason, b};
  auto const equal = [&]() -> ContentComparison {
    if (stamp_a && stamp_b && stamp_a->ctime_ns < settled_before_ns &&
        stamp_b->ctime_ns < settled_before_ns) {
      stamp_a->change_time_kept = change_time_kept_by(fa.get());
      stamp_b->change_time_kept = change_time_kept_by(fb.get());
    }
    return {true, no_failure, {}};
  };

  // Small files get small blocks: a full-sized, zeroed pair per call cost more than reading
  // them. The sizes only size the blocks; the files are still read to their ends.
  std::size_t const block = static_cast<std::size_t>(
      std::clamp<std::uint64_t>(std::max(size_a, size_b) + 1, 4096, COMPARE_BLOCK));
  auto const buffer = std::make_unique_for_overwrite<char[]>(2 * block);
  char* const block_a = buffer.get();
  char* const block_b = buffer.get() + block;
  // Past its fstat size a file has no bytes left to expect; 0 never stops a read that got some.
  auto const left = [](std::uint64_t size, std::uint64_t read) {
    return size > read ? size - read : 0;
  };
  std::uint64_t read = 0;
  for (;;) {
    ssize_t const na = read_full(fa.get(), block_a, block, left(size_a, read));
    if (na < 0) return {false, reason_for_failure(last_stream_error()), a};
    ssize_t const nb = read_full(fb.get(), block_b, block, left(size_b, read));
    if (nb < 0) return {false, reason_for_failure(last_stream_error()), b};
    if (na != nb) return {false, no_failure, {}};
    if (na == 0) return equal();
    if (std::memcmp(block_a, block_b, static_cast<std::size_t>(na)) != 0)
      return {false, no_failure, {}};
    // A short block means both reads met the end, or the end their fstat gave.
    if (static_cast<std::size_t>(na) < block) return equal();
    read += static_cast<std::uint64_t>(na);
  }
}

bool files_equal(std::wstring const& a, std::wstring const& b) {
  return compare_content(a, b).equal;
}

std::optional<std::uint64_t> free_space(std::filesystem::path const& p) {
  std::error_code ec;
  auto const info = std::filesystem::space(p, ec);
  if (ec || info.capacity == 0) return std::nullopt;
  return info.available;
}

bool read_only_filesystem(std::filesystem::path const& p) {
  auto current = without_trailing_separator(absolute_best_effort(p));
  struct stat st {};
  while (::stat(current.c_str(), &st) != 0) {
    if (!current.has_relative_path() || current.parent_path() == current) break;
    current = current.parent_path();
  }
  struct statvfs info {};
  return ::statvfs(current.c_str(), &info) == 0 && (info.f_flag & ST_RDONLY) != 0;
}

std::filesystem::path normalize_best_effort(std::filesystem::path const& p) {
  std::error_code ec;
  auto result = std::filesystem::weakly_canonical(p, ec);
  return ec ? p : result;
}

std::optional<std::filesystem::path> get_mount_root(std::filesystem::path const& p) {
  // A relative path is below the current directory: never report it as an unmounted volume.
  auto current =
      without_trailing_separator(normalize_best_effort(absolute_best_effort(p)).lexically_normal());
  struct stat st {};
  while (::lstat(current.c_str(), &st) != 0) {
    if (!current.has_relative_path()) return std::nullopt;
    current = current.parent_path();
  }
  for (;;) {
    if (!current.has_relative_path()) return current;
    struct stat parent {};
    auto const root = mount_root_against_parent(current, st, parent);
    if (!root) return std::nullopt;
    if (*root) return current;
    current = current.parent_path();
    st = parent;
  }
}

std::optional<std::filesystem::path> is_mountpoint(std::filesystem::path const& p) {
  auto const normal = without_trailing_separator(normalize_best_effort(absolute_best_effort(p)));
  if (!normal.has_relative_path()) return std::nullopt;
  struct stat st {
  }, parent{};
  if (::lstat(normal.c_str(), &st) != 0) return std::nullopt;
  auto const root = mount_root_against_parent(normal, st, parent);
  if (root && *root) return normal;
  return std::nullopt;
}

std::string read_file_bytes(std::filesystem::path const& p) {
  FileInfoResult reason = no_failure;
  std::uint64_t size = 0;
  platform::FileDescriptor fd = open_regular(p, reason, &size);
  if (!fd) throw std::ios_base::failure("cannot open " + p.string());
  std::string bytes;
  // Sized up front: growing a large text step by step copies and touches it several times over.
  bytes.reserve(static_cast<std::size_t>(size));
  std::vector<char> block(64 * 1024);
  for (;;) {
    ssize_t const n = read_full(fd.get(), block.data(), block.size());
    if (n < 0) throw std::ios_base::failure("cannot read " + p.string());
    if (n == 0) break;
    bytes.append(block.data(), static_cast<std::size_t>(n));
  }
  return bytes;
}

std::wstring read_utf8_file(std::filesystem::path const& p) {
  return util::string_to_wstring(read_file_bytes(p));
}

void write_utf8_file(std::filesystem::path const& p, std::wstring const& text) {
  std::string const bytes = util::wstring_to_string(text);
  if (!text.empty() && bytes.empty())
    throw std::runtime_error("text not convertible to UTF-8: " + p.string());
  platform::FileDescriptor fd(::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd)
    throw std::ios_base::failure("cannot open " + p.string(),
                                 std::error_code(errno, std::system_category()));
  int error = 0;
  if (!write_all(fd.get(), bytes) || ::fsync(fd.get()) != 0) error = errno;
  int const close_error = fd.close();
  if (error == 0) error = close_error;
  if (error != 0) {
    ::unlink(p.c_str());
    throw std::ios_base::failure("cannot write " + p.string(),
                                 std::error_code(error, std::system_category()));
  }
}

bool write_private_file(std::filesystem::path const& p, std::string_view bytes) {
  platform::FileDescriptor fd(::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) return false;
  if (::fchmod(fd.get(), 0600) != 0) return false;
  ssize_t const written = ::write(fd.get(), bytes.data(), bytes.size());
  if (written < 0 || static_cast<std::size_t>(written) != bytes.size()) return false;
  if (::fsync(fd.get()) != 0) return false;
  return fd.close() == 0;
}

bool plain_entry_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::string home_dir() {
  if (char const* home = std::getenv("HOME")) return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (found && found->pw_dir) return found->pw_dir;
  return {};
}

std::optional<std::string> env_path(char const* name) {
  char const* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

bool drive_exists(std::wstring const& path) {
  log_at(LogLevel::Debug, L"drive_exists() " + path);
  return file_exists(path);
}

bool volume_exists(std::wstring const& path, std::wstring const& name) {
  log_at(LogLevel::Debug, L"volume_exists() " + path + L" " + name);
  std::string const wanted = util::wstring_to_string(name);
  for (auto const& mount : platform::mounted_filesystems())
    if (mount.device.find(wanted) != std::string::npos ||
        mount.mount_point.find(wanted) != std::string::npos)
      return true;
  return false;
}

}  // namespace Utilities::FilesystemUtil
