// Whether the volume that should hold a path is mounted, from a copy of the kernel's mount table
// that is read again at most every 10 seconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace Utilities {

struct MountInfo {
  std::string device;       // the mount's source
  std::string mount_point;  // UTF-8 as the kernel lists it
  std::string type;         // file-system type name
};

struct FstabEntry {
  std::string device;
  std::string mount_point;
  std::string type;
  std::string options;
  int dump = 0;
  int pass = 0;
};

class MountedDrives {
 public:
  using Clock = std::chrono::system_clock;
  using ClockSource = std::function<Clock::time_point()>;

  // The process-wide cache, made on first use.
  static MountedDrives& instance();

  // A cache of its own (for tests, with a clock of their own); the first question reads the table.
  explicit MountedDrives(ClockSource clock = Clock::now);
  MountedDrives(MountedDrives const&) = delete;
  MountedDrives& operator=(MountedDrives const&) = delete;

  // True when the mount root of `p` is a mounted file system: from the cached table while it is
  // at most 10 s old, else from a new reading. False when no mount root can be found, and false
  // when `p` lies at or below a mount point that was mounted at an earlier reading (or is listed
  // in /etc/fstab) and is not mounted now: an unmounted volume leaves its mount point behind as
  // an empty folder of the file system below. A relative path is taken from the current
  // directory. `text` is not used. Thread-safe. The answer for a path is kept per folder above
  // it until the table is read again, and serves while the folder's mount and device are the
  // ones it had: a mount or unmount at or above the folder changes them.
  bool drive_mounted(std::filesystem::path const& p, std::wstring const& text);

  // Both take the lock themselves. True when more than 10 s have passed since the last reading.
  bool time_elapsed();
  // A cached mount has exactly this mount point (byte comparison).
  bool mount_point_exist(std::string const& mount_point);

 private:
  // Both expect mutex_ held.
  bool check(std::filesystem::path const& p);
  bool refresh(std::string const& root, std::wstring const& text);
  bool below_absent_mount(std::filesystem::path const& p);
  void read_table();
  bool answer(std::filesystem::path const& p, std::wstring const& text);
  bool time_elapsed_locked() const;

  struct FolderAnswer {
    std::uint64_t mount_id = 0;
    std::uint64_t device = 0;
    bool mounted = false;
  };

  std::vector<MountInfo> mounts_;
  // Every mount point seen mounted by this cache, and those of /etc/fstab.
  std::set<std::string> known_mount_points_;
  // Folder -> the answer for the paths in it; emptied with every reading.
  std::unordered_map<std::string, FolderAnswer> folder_answers_;
  Clock::time_point last_reading_{};
  std::mutex mutex_;
  ClockSource clock_;
};

// The mount root of the path as text; empty when there is none.
std::string get_mount_point(std::filesystem::path const& p);
// The entries of an fstab file: six fields (four words, two numbers) per line; comment lines
// ('#' first), empty lines and lines with fewer or bad fields are skipped. Empty when the file
// cannot be opened.
std::vector<FstabEntry> parse_fstab(std::string const& file);

}  // namespace Utilities
