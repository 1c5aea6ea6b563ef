#include "utilities/MountedDrives.h"

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
  auto const age = std::chrono::duration_cast<std::chrono::microseconds>(clock_() - last_reading_);
  if (age <= CACHE_LIFE) return check(p) && !below_absent_mount(p);
  auto const root = FilesystemUtil::get_mount_root(p);
  if (!root) return false;
  return refresh(root->string(), text) && !below_absent_mount(p);
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
  last_reading_ = clock_();
  for (auto& entry : platform::mounted_filesystems())
    mounts_.push_back(
        {std::move(entry.device), std::move(entry.mount_point), std::move(entry.type)});
}

bool MountedDrives::time_elapsed() {
  std::lock_guard<std::mutex> guard(mutex_);
  return std::chrono::duration_cast<std::chrono::microseconds>(clock_() - last_reading_) >
         CACHE_LIFE;
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
