#include "core/config/DurableWrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

[[noreturn]] void fail(int error, std::string const& step, std::filesystem::path const& path) {
  throw std::system_error(error, std::generic_category(), step + " " + path.string());
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd const&) = delete;
  Fd& operator=(Fd const&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

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

FileStamp replace_file_durably(std::filesystem::path const& given, std::string_view bytes) {
  // A configuration kept elsewhere behind a link stays there; the link is not replaced.
  std::filesystem::path path = given;
  std::error_code ignored;
  if (std::filesystem::is_symlink(given, ignored)) {
    auto resolved = std::filesystem::canonical(given, ignored);
    if (!ignored) path = resolved;
  }

  mode_t mode = 0600;
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;

  std::filesystem::path temporary = path;
  temporary += ".tmp";
  Fd fd(open_temporary(temporary));
  if (fd.get() < 0) fail(errno, "open", temporary);
  TempGuard guard(temporary);

  if (::fchmod(fd.get(), mode) != 0) fail(errno, "chmod", temporary);
  write_all(fd.get(), bytes, temporary);
  if (::fsync(fd.get()) != 0) fail(errno, "fsync", temporary);
  FileStamp stamp = file_stamp_of(fd.get());
  if (::close(fd.release()) != 0) fail(errno, "close", temporary);

  Utilities::log_at(Utilities::LogLevel::Info, L"rename_file", Utilities::from_path(temporary),
                    Utilities::from_path(path));
  if (::rename(temporary.c_str(), path.c_str()) != 0) fail(errno, "rename", temporary);
  guard.keep();
  // The new content is in place now; a folder that cannot be synced is reported, not undone.
  std::filesystem::path folder = path.parent_path();
  Fd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0 || ::fsync(dir.get()) != 0) {
    Utilities::log_at(Utilities::LogLevel::Error,
                      Utilities::translation::translate(
                          "config_folder_not_synced",
                          {Utilities::from_path(folder),
                           Utilities::util::string_to_wstring(std::strerror(errno))}));
  }
  return stamp;
}

}  // namespace KVO_Core
