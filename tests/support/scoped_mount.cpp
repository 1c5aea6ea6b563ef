#include "support/scoped_mount.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace test_support {

std::string private_mount_namespace() {
  static std::string const result = [] {
    if (::unshare(CLONE_NEWNS) != 0)
      return std::string("cannot make a private mount namespace: ") + std::strerror(errno);
    // Without this, mounts would still propagate back to the shared parent namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return std::string("cannot make mounts private: ") + std::strerror(errno);
    return std::string();
  }();
  return result;
}

ScopedTmpfs::ScopedTmpfs(std::filesystem::path dir, std::string const& options)
    : dir_(std::move(dir)) {
  error_ = private_mount_namespace();
  if (!ok()) return;
  std::error_code ec;
  std::filesystem::create_directories(dir_, ec);
  unsigned long flags = 0;
  std::string data = options;
  if (data == "ro" || data.rfind("ro,", 0) == 0) {
    flags |= MS_RDONLY;
    data = data.size() > 2 ? data.substr(3) : "";
  }
  if (::mount("pelli-test", dir_.c_str(), "tmpfs", flags, data.c_str()) != 0)
    error_ = "cannot mount a tmpfs on " + dir_.string() + ": " + std::strerror(errno);
}

ScopedTmpfs::~ScopedTmpfs() {
  if (ok()) ::umount2(dir_.c_str(), MNT_DETACH);
}

bool ScopedTmpfs::remount(std::string const& options) {
  unsigned long flags = MS_REMOUNT;
  if (options == "ro") flags |= MS_RDONLY;
  return ::mount("pelli-test", dir_.c_str(), "tmpfs", flags, nullptr) == 0;
}

ScopedFuseFat::ScopedFuseFat(std::filesystem::path dir) : dir_(std::move(dir)) {
  error_ = private_mount_namespace();
  if (!error_.empty()) return;
  std::filesystem::create_directories(dir_);
  std::filesystem::path const image = dir_.parent_path() / "fat.img";
  std::string const command = "truncate -s 8M '" + image.string() + "' && mkfs.vfat '" +
                              image.string() + "' >/dev/null && fusefat -o rw+ '" + image.string() +
                              "' '" + dir_.string() + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) error_ = "cannot mount a FAT image with fusefat";
}

ScopedFuseFat::~ScopedFuseFat() {
  if (error_.empty()) ::umount2(dir_.c_str(), MNT_DETACH);
}

int run_as_nobody(std::function<int()> const& job) {
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
        ::setresuid(65534, 65534, 65534) != 0)
      ::_exit(255);
    ::_exit(job());
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void fill_up(std::filesystem::path const& dir) {
  int fd = ::open((dir / "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::vector<char> block(4096, 'x');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  // The last page may still take a few bytes.
  while (::write(fd, block.data(), 1) > 0) {
  }
  ::close(fd);
}

}  // namespace test_support
