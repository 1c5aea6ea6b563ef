#include "utilities/NoClobber.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace Utilities::no_clobber {

namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

// A rename after a look at the name: the best left where neither of the others works.
std::error_code checked_rename(char const* from, char const* to) {
  struct stat occupant {};
  if (::lstat(to, &occupant) == 0) return std::make_error_code(std::errc::file_exists);
  if (errno != ENOENT) return last_error();
  if (::rename(from, to) != 0) return last_error();
  return {};
}

// link's answers on a file system without hard links (FAT, many FUSE file systems).
bool links_unsupported(int error) {
  return error == EPERM || error == ENOSYS || error == EOPNOTSUPP;
}

// For file systems without RENAME_NOREPLACE: a hard link fails on an existing name; directories
// cannot be linked, nor files where the file system has no links, so they get the check.
std::error_code fallback_rename(char const* from, char const* to) {
  struct stat st {};
  if (::lstat(from, &st) != 0) return last_error();
  if (S_ISDIR(st.st_mode)) return checked_rename(from, to);
  if (::link(from, to) != 0)
    return links_unsupported(errno) ? checked_rename(from, to) : last_error();
  if (::unlink(from) != 0) {
    auto error = last_error();
    ::unlink(to);
    return error;
  }
  return {};
}

}  // namespace

std::error_code rename(std::filesystem::path const& from, std::filesystem::path const& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return last_error();
  return fallback_rename(from.c_str(), to.c_str());
}

std::filesystem::path staging_name(std::filesystem::path const& path) {
  static std::atomic<unsigned> counter{0};
  for (;;) {
    auto candidate = path;
    candidate += "." + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".kvo-part";
    struct stat st {};
    if (::lstat(candidate.c_str(), &st) != 0) return candidate;
  }
}

}  // namespace Utilities::no_clobber
