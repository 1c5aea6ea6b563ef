#include "utilities/MountedDrives.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>

#include "platform/MountTable.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"

namespace Utilities {

namespace {
// A reading serves questions for this long (inclusive).
constexpr std::chrono::microseconds CACHE_LIFE{10'000'000};
// A mount point that lost its device is looked up in a reading at most this old.
constexpr std::chrono::milliseconds RECHECK_AFTER{100};
}  // namespace

MountedDrives& MountedDrives::instance() {
  static MountedDrives drives;
  return drives;
}

MountedDrives::MountedDrives(ClockSource clock) : clock_(std::move(clock)) {}

bool MountedDrives::drive_mounted(std::filesystem::path const& p, std::wstring const& text) {
  log_at(LogLevel::Debug, L"MountedDrives::drive_mounted");
  std::lock_guard<std::mutex> guard(mutex_);
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(p, ec).lexically_normal();
  if (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
  // A known mount point is the one path whose answer its folder cannot give.
  std::string const folder = path.parent_path().string();
  struct statx st {};
  bool const keyed =
      !ec && path.has_relative_path() && known_mount_points_.count(path.string()) == 0 &&
      ::statx(AT_FDCWD, folder.c_str(), AT_STATX_SYNC_AS_STAT, STATX_MNT_ID, &st) == 0 &&
      (st.stx_mask & STATX_MNT_ID) != 0;
  FolderAnswer const now{st.stx_mnt_id, ::makedev(st.stx_dev_major, st.stx_dev_minor), false};
  if (keyed && !time_elapsed_locked()) {
    auto const found = folder_answers_.find(folder);
    if (found != folder_answers_.end() && found->second.mount_id == now.mount_id &&
        found->second.device == now.device)
      return found->second.mounted;
  }
  bool const mounted = answer(p, text);
  // The first reading may have made the path a known mount point.
  if (keyed && known_mount_points_.count(path.string()) == 0)
    folder_answers_[folder] = {now.mount_id, now.device, mounted};
  return mounted;
}

bool MountedDrives::answer(std::filesystem::path const& p, std::wstring const& text) {
  if (!time_elapsed_locked()) return check(p) && !below_absent_mount(p);
  auto const root = FilesystemUtil::get_mount_root(p);
  if (!root) return false;
  return refresh(root->string(), text) && !below_absent_mount(p);
}

bool MountedDrives::time_elapsed_locked() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(clock_() - last_reading_) >
         CACHE_LIFE;
}

bool MountedDrives::below_absent_mount(std::filesystem::path const& p) {
  std::error_code ec;
  std::string const path = std::filesystem::absolute(p, ec).lexically_normal().string();
  if (ec) return false;
  for (std::string const& known : known_mount_points_) {
    if (known == "/" || path.compare(0, known.size(), known) != 0) continue;
    if (path.size() > known.size() && path[known.size()] != '/') continue;
    if (FilesystemUtil::is_mountpoint(known)) continue;
    // Not on a device of its own: unmounted, or a bind mount within one file system. Only the
    // kernel's table tells them apart, and a cached one may predate the unmount.
    if (clock_() - last_reading_ > RECHECK_AFTER) read_table();
    bool listed = false;
    for (auto const& mount : mounts_) listed = listed || mount.mount_point == known;
    if (!listed) return true;
  }
  return false;
}

bool MountedDrives::check(std::filesystem::path const& p) {
  log_at(LogLevel::Debug, L"MountedDrives::check");
  auto const root = FilesystemUtil::get_mount_root(p);
  if (!root) return false;
  for (auto const& mount : mounts_)
    if (std::filesystem::path(mount.mount_point) == *root) return true;
  return false;
}

bool MountedDrives::refresh(std::string const& root, std::wstring const&) {
  log_at(LogLevel::Debug, L"MountedDrives::refresh");
  read_table();
  if (known_mount_points_.empty()) {
    for (auto const& entry : parse_fstab("/etc/fstab"))
      if (entry.mount_point.size() > 1 && entry.mount_point.front() == '/' && entry.type != "swap")
        known_mount_points_.insert(
            std::filesystem::path(entry.mount_point).lexically_normal().string());
  }
  for (auto const& mount : mounts_)
    known_mount_points_.insert(
        std::filesystem::path(mount.mount_point).lexically_normal().string());
  for (auto const& mount : mounts_)
    if (mount.mount_point == root) return true;
  return false;
}

void MountedDrives::read_table() {
  mounts_.clear();
  folder_answers_.clear();
  last_reading_ = clock_();
  for (auto& entry : platform::mounted_filesystems())
    mounts_.push_back(
        {std::move(entry.device), std::move(entry.mount_point), std::move(entry.type)});
}

bool MountedDrives::time_elapsed() {
  std::lock_guard<std::mutex> guard(mutex_);
  return time_elapsed_locked();
}

bool MountedDrives::mount_point_exist(std::string const& mount_point) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto const& mount : mounts_)
    if (mount.mount_point == mount_point) return true;
  return false;
}

std::string get_mount_point(std::filesystem::path const& p) {
  auto const root = FilesystemUtil::get_mount_root(p);
  return root ? root->string() : std::string();
}

std::vector<FstabEntry> parse_fstab(std::string const& file) {
  std::vector<FstabEntry> entries;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    FstabEntry entry;
    if (fields >> entry.device >> entry.mount_point >> entry.type >> entry.options >> entry.dump >>
        entry.pass)
      entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace Utilities
