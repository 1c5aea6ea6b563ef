#include "utilities/DurableWrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "platform/FileDescriptor.h"

namespace Utilities::FilesystemUtil {
namespace {

[[noreturn]] void fail(int error, std::string const& step, std::filesystem::path const& path) {
  throw std::system_error(error, std::generic_category(), step + " " + path.string());
}

// Removes the temporary file we created unless it was put in place.
class TempGuard {
 public:
  explicit TempGuard(std::filesystem::path path) : path_(std::move(path)) {}
  ~TempGuard() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void keep() { path_.clear(); }

 private:
  std::filesystem::path path_;
};

void write_all(int fd, std::string_view bytes, std::filesystem::path const& path) {
  while (!bytes.empty()) {
    ssize_t done = ::write(fd, bytes.data(), bytes.size());
    if (done < 0) {
      if (errno == EINTR) continue;
      fail(errno, "write", path);
    }
    bytes.remove_prefix(static_cast<std::size_t>(done));
  }
}

// O_EXCL: whatever sits at the temporary name (a directory, a link) is not ours and fails the
// write; only a regular file left by an interrupted write is cleared first.
int open_temporary(std::filesystem::path const& temporary) {
  int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
  int fd = ::open(temporary.c_str(), flags, 0600);
  if (fd >= 0 || errno != EEXIST) return fd;
  struct stat there {};
  if (::lstat(temporary.c_str(), &there) != 0 || !S_ISREG(there.st_mode) ||
      ::unlink(temporary.c_str()) != 0) {
    errno = EEXIST;
    return -1;
  }
  return ::open(temporary.c_str(), flags, 0600);
}

}  // namespace

ReplacedFile replace_file_durably(std::filesystem::path const& path, std::string_view bytes) {
  mode_t mode = 0600;
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) mode = old.st_mode & 07777;

  std::filesystem::path temporary = path;
  temporary += ".tmp";
  platform::FileDescriptor fd(open_temporary(temporary));
  if (!fd) fail(errno, "open", temporary);
  TempGuard guard(temporary);

  ReplacedFile result;
  if (::fchmod(fd.get(), mode) != 0) fail(errno, "chmod", temporary);
  write_all(fd.get(), bytes, temporary);
  if (::fsync(fd.get()) != 0) fail(errno, "fsync", temporary);
  if (::fstat(fd.get(), &result.written) != 0) fail(errno, "stat", temporary);
  if (int const error = fd.close()) fail(error, "close", temporary);

  if (::rename(temporary.c_str(), path.c_str()) != 0) fail(errno, "rename", temporary);
  guard.keep();
  std::filesystem::path folder = path.parent_path();
  platform::FileDescriptor dir(
      ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir || ::fsync(dir.get()) != 0) result.folder_sync_error = errno;
  return result;
}

}  // namespace Utilities::FilesystemUtil
