#include "core/versions/RecycleBin.h"

#include <sys/stat.h>

#include <system_error>

#include "core/config/Settings.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/NoClobber.h"
#include "utilities/Paths.h"
#include "utilities/StagingFiles.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace fs = std::filesystem;
namespace FilesystemUtil = Utilities::FilesystemUtil;
namespace translation = Utilities::translation;
namespace util = Utilities::util;
using FilesystemUtil::FileInfoResult;
using Utilities::from_path;
using Utilities::Logging;
using Utilities::LogLevel;

namespace {

constexpr FileInfoResult DONE = FileInfoResult::no_failure;
constexpr FileInfoResult NOT_THERE = FileInfoResult::file_not_exist;
constexpr FileInfoResult WRITE_ERROR = FileInfoResult::file_info_write_error;
constexpr FileInfoResult DISK_FULL = FileInfoResult::disk_full;
constexpr FileInfoResult READ_ONLY = FileInfoResult::filesystem_read_only;
constexpr FileInfoResult BIN_FULL = FileInfoResult::recycle_bin_full;

void log_path(LogLevel level, char const* id, fs::path const& path) {
  Logging::instance().log(level, translation::translate(id), from_path(path));
}

// Something is at path (a link itself counts) and its status could be read.
bool occupied(fs::path const& path) {
  std::error_code error;
  auto status = fs::symlink_status(path, error);
  return !error && status.type() != fs::file_type::not_found;
}

FileInfoResult create_parent(fs::path const& path) {
  auto parent = path.parent_path();
  if (parent.empty()) return DONE;
  std::error_code error;
  auto refusal = FilesystemUtil::create_directory_refusal(parent, error);
  if (refusal != DONE) log_path(LogLevel::FatalError, "recycle_bin_dir_not_creatable", parent);
  return refusal;
}

void discard_copy(fs::path const& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

// Copies the write times of source's entries to their copies; links keep theirs.
void carry_times(fs::path const& source, fs::path const& copy) {
  std::error_code error;
  if (fs::is_symlink(source, error)) return;
  auto time = fs::last_write_time(source, error);
  if (!error) fs::last_write_time(copy, time, error);
  if (!fs::is_directory(source, error)) return;
  for (fs::recursive_directory_iterator it(source, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    if (it->is_symlink(ignored)) continue;
    auto entry_time = fs::last_write_time(it->path(), ignored);
    if (!ignored)
      fs::last_write_time(copy / it->path().lexically_relative(source), entry_time, ignored);
  }
}

}  // namespace

RecycleBin::RecycleBin() = default;

RecycleBin& RecycleBin::instance() {
  static RecycleBin bin;
  return bin;
}

fs::path RecycleBin::bin_path() const { return recycle_bin_path(); }

void RecycleBin::bin_path(fs::path const& root) { set_recycle_bin_path(root); }

bool RecycleBin::check_relative(fs::path const& relative) const {
  if (relative.empty() || relative.has_root_name() || relative.has_root_directory()) {
    log_path(LogLevel::Error, "recycle_bin_absolute_path", relative);
    return false;
  }
  auto normal = relative.lexically_normal();
  bool escapes = false;
  for (auto const& element : normal)
    if (element == "..") escapes = true;
  // "." and "a/.." name the bin itself, which no item may be.
  if (escapes || normal.empty() || normal == ".") {
    log_path(LogLevel::Error, "recycle_bin_path_escapes", relative);
    return false;
  }
  return true;
}

FileInfoResult RecycleBin::move(fs::path const& source, fs::path const& destination) const {
  auto error = Utilities::no_clobber::rename(source, destination);
  if (!error) return DONE;
  if (error == std::errc::file_exists) {
    log_path(LogLevel::Error, "recycle_bin_target_exists", destination);
    return WRITE_ERROR;
  }

  std::error_code status_error;
  auto status = fs::symlink_status(source, status_error);
  bool is_directory = !status_error && fs::is_directory(status);
  if (!status_error && fs::is_regular_file(status)) {
    std::error_code size_error;
    auto size = fs::file_size(source, size_error);
    auto room = FilesystemUtil::free_space(destination.parent_path());
    if (!size_error && room && *room < size) return DISK_FULL;
  }

  // The copy is made under a staging name and moved onto the destination without replacing, so
  // nothing that appears there meanwhile is overwritten and no half copy is ever visible there.
  auto staging = Utilities::no_clobber::staging_name(destination);
  Utilities::staging::Claim const claim(staging);  // a walk must not take it for a leftover
  std::error_code copy_error;
  fs::copy(source, staging, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
           copy_error);
  if (!copy_error) {
    carry_times(source, staging);
    copy_error = Utilities::no_clobber::rename(staging, destination);
  }
  if (copy_error) {
    Logging::instance().log(LogLevel::Error, translation::translate("recycle_bin_move_failed"),
                            from_path(source), from_path(destination),
                            util::string_to_wstring(copy_error.message()));
    discard_copy(staging);
    return FilesystemUtil::reason_for_write_failure(copy_error);
  }

  std::error_code remove_error;
  fs::remove_all(source, remove_error);
  if (!remove_error) return DONE;
  log_path(LogLevel::Error, "recycle_bin_source_not_deletable", source);
  // A file left at the source must not exist twice; a partly removed tree keeps its copy.
  if (!is_directory && occupied(source)) discard_copy(destination);
  return FilesystemUtil::reason_for_write_failure(remove_error);
}

FileInfoResult RecycleBin::add_refusal(fs::path const& file, fs::path const& relative) {
  std::lock_guard lock(mutex_);
  fs::path const root = bin_path();
  if (!check_relative(relative)) return WRITE_ERROR;
  std::error_code error;
  (void)fs::symlink_status(file, error);
  if (error) {
    if (error == std::errc::no_such_file_or_directory) return NOT_THERE;
    log_path(LogLevel::Error, "recycle_bin_file_not_exist", file);
    return FilesystemUtil::reason_for_write_failure(error);
  }
  auto parent = file.parent_path();
  if (FilesystemUtil::read_only_filesystem(parent.empty() ? fs::path(".") : parent))
    return READ_ONLY;
  auto destination = root / relative.lexically_normal();
  if (occupied(destination)) {
    log_path(LogLevel::Error, "recycle_bin_target_exists", destination);
    return WRITE_ERROR;
  }
  if (auto refusal = create_parent(destination); refusal != DONE)
    return refusal == DISK_FULL ? BIN_FULL : refusal;
  if (auto refusal = move(file, destination); refusal != DONE)
    return refusal == DISK_FULL ? BIN_FULL : refusal;
  Logging::instance().log(LogLevel::Debug, L"Papierkorb: verschoben " + from_path(file));
  return DONE;
}

bool RecycleBin::add_item(fs::path const& file, fs::path const& relative) {
  return add_refusal(file, relative) == DONE;
}

bool RecycleBin::add_item(fs::path const& relative) { return add_item(relative, relative); }

bool RecycleBin::has_item(fs::path const& relative) const {
  std::lock_guard lock(mutex_);
  fs::path const root = bin_path();
  if (!check_relative(relative)) return false;
  return occupied(root / relative.lexically_normal());
}

bool RecycleBin::take_item(fs::path const& relative, fs::path const& destination) {
  std::lock_guard lock(mutex_);
  fs::path const root = bin_path();
  if (!check_relative(relative)) return false;
  auto source = root / relative.lexically_normal();
  if (!occupied(source)) {
    log_path(LogLevel::Error, "recycle_bin_file_not_inside", relative);
    return false;
  }
  if (occupied(destination)) {
    log_path(LogLevel::Error, "recycle_bin_target_exists", destination);
    return false;
  }
  if (create_parent(destination) != DONE || move(source, destination) != DONE) return false;
  Logging::instance().log(LogLevel::Debug,
                          L"Papierkorb: wiederhergestellt " + from_path(destination));
  return true;
}

bool RecycleBin::restore_item(fs::path const& relative) {
  return take_item(relative, relative.lexically_normal());
}

bool RecycleBin::remove_item(fs::path const& relative) {
  std::lock_guard lock(mutex_);
  fs::path const root = bin_path();
  if (!check_relative(relative)) return false;
  auto normal = relative.lexically_normal();
  std::error_code error;
  if (!fs::remove(root / normal, error) || error) return false;
  for (auto folder = normal.parent_path(); !folder.empty(); folder = folder.parent_path()) {
    std::error_code ignored;
    if (!fs::remove(root / folder, ignored)) break;
  }
  return true;
}

std::vector<fs::path> RecycleBin::list_items() const {
  std::lock_guard lock(mutex_);
  fs::path const root = bin_path();
  std::vector<fs::path> items;
  std::error_code error;
  if (!fs::exists(root, error) || error) return items;
  fs::recursive_directory_iterator it(root, error), end;
  while (it != end || error) {
    if (error) {
      log_path(LogLevel::Error, "recycle_bin_dir_unreadable", root);
      break;
    }
    std::error_code kind_error;
    if (!it->is_directory(kind_error)) items.push_back(it->path().lexically_relative(root));
    it.increment(error);
  }
  return items;
}

}  // namespace KVO_Core
