#include "core/sync/ReplaceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace KVO_Core {

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor const&) = delete;
  Descriptor& operator=(Descriptor const&) = delete;
  int get() const { return fd_; }
  // Closes now so that a failing close is seen.
  int close() {
    int const fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

[[noreturn]] void fail(char const* what, std::filesystem::path const& path) {
  throw std::system_error(errno, std::generic_category(), std::string(what) + " " + path.string());
}

void write_synced(std::filesystem::path const& temporary, std::string_view bytes, mode_t mode) {
  ::unlink(temporary.c_str());  // a leftover of an interrupted write
  Descriptor out(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (out.get() < 0) fail("cannot create", temporary);
  if (::fchmod(out.get(), mode) != 0) fail("cannot set the mode of", temporary);
  while (!bytes.empty()) {
    ssize_t const written = ::write(out.get(), bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("cannot write", temporary);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::fsync(out.get()) != 0) fail("cannot sync", temporary);
  if (out.close() != 0) fail("cannot close", temporary);
}

}  // namespace

void replace_file(std::filesystem::path const& file, std::filesystem::path const& temporary,
                  std::string_view bytes) {
  mode_t mode = 0600;
  struct stat old {};
  if (::stat(file.c_str(), &old) == 0 && S_ISREG(old.st_mode)) mode = old.st_mode & 07777;
  try {
    write_synced(temporary, bytes, mode);
    if (::rename(temporary.c_str(), file.c_str()) != 0) fail("cannot rename onto", file);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  Descriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The new file is in place; a folder that cannot be synced only weakens durability.
  if (directory.get() >= 0) ::fsync(directory.get());
}

}  // namespace KVO_Core
