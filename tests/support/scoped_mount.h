// Real failure conditions for tests that run as root (which bypasses permission bits): small
// tmpfs mounts in a private mount namespace, and children that run under an unprivileged user.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace test_support {

// Moves this process into a mount namespace of its own (once per process), so that the test's
// mounts are seen by nobody else and vanish with the process. Gives an empty text when done,
// else the reason it could not be done (for GTEST_SKIP). Call before any thread is started.
std::string private_mount_namespace();

// A tmpfs mounted on a folder for the life of the object (unmounted lazily at the end).
class ScopedTmpfs {
 public:
  // Mounts a tmpfs with the given mount options (such as "size=64k" or "ro") on `dir`, creating
  // the folder. Enters the private mount namespace first.
  ScopedTmpfs(std::filesystem::path dir, std::string const& options = "size=1m");
  ~ScopedTmpfs();
  ScopedTmpfs(ScopedTmpfs const&) = delete;
  ScopedTmpfs& operator=(ScopedTmpfs const&) = delete;

  // Empty when mounted, else why not.
  std::string const& error() const { return error_; }
  bool ok() const { return error_.empty(); }
  // Changes the mount's options in place, for instance to "ro"; false on failure.
  bool remount(std::string const& options);
  std::filesystem::path const& path() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::string error_;
};

// An 8 MiB FAT image mounted through FUSE on a folder for the life of the object: a file system
// whose change time is the write time, with neither hard links nor a rename that refuses to
// replace. Enters the private mount namespace first.
class ScopedFuseFat {
 public:
  explicit ScopedFuseFat(std::filesystem::path dir);
  ~ScopedFuseFat();
  ScopedFuseFat(ScopedFuseFat const&) = delete;
  ScopedFuseFat& operator=(ScopedFuseFat const&) = delete;

  // Empty when mounted, else why not.
  std::string const& error() const { return error_; }

 private:
  std::filesystem::path dir_;
  std::string error_;
};

// Runs `job` in a forked child under user and group 65534 without supplementary groups and gives
// its exit status (0 to 255), or -1 when the child could not be started or did not exit normally.
int run_as_nobody(std::function<int()> const& job);

// Fills the file system that holds `dir` with one file named "filler" until no byte is left.
void fill_up(std::filesystem::path const& dir);

}  // namespace test_support
