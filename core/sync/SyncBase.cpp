#include "core/sync/SyncBase.h"

#include "core/config/VolumeName.h"
#include "core/run/RunContext.h"
#include "core/run/SyncReport.h"
#include "core/sync/Refusals.h"
#include "core/sync/ReportedOnce.h"
#include "core/sync/SyncFile.h"
#include "core/sync/decide/SyncPlan.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/MountedDrives.h"
#include "utilities/Paths.h"
#include "utilities/StagingFiles.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

std::wstring child_path(std::wstring const& directory, std::wstring const& name) {
  return Utilities::util::with_trailing_char(directory, L'/') + name;
}

using Utilities::LogLevel;
using Utilities::FilesystemUtil::FileInfoResult;
using Utilities::translation::translate;

namespace {

ReportedOnce refused_items;

bool is_separator(wchar_t c) { return c == L'/'; }

std::wstring root_of(std::unique_ptr<SyncPath> const& side, std::wstring const& given) {
  if (!given.empty()) return given;
  if (!side) return {};
  if (side->kind == SyncPath::Ssh) return side->path();
  return without_volume_spec(side->path());
}

}  // namespace

SyncBase::SyncBase(SyncItem job_item, std::uint64_t& count, bool dry_run, SyncState* state,
                   std::wstring const& source_root, std::wstring const& target_root,
                   Sides const* sides)
    : item(std::move(job_item)),
      count(count),
      dry_run(dry_run),
      sides(sides ? *sides : sides_of(item)),
      state(state) {
  if (item.flags.delAftercopy && item.source() && item.source()->kind != SyncPath::Ssh) {
    source_read_only = Utilities::FilesystemUtil::read_only_filesystem(
        Utilities::to_path(without_volume_spec(item.source()->path())));
    moves = !source_read_only;
  }
  this->source_root = root_of(item.source(), source_root);
  this->target_root = root_of(item.target(), target_root);
}

std::wstring SyncBase::side_path(std::wstring const& relative, bool target) const {
  std::wstring const& root = target ? target_root : source_root;
  return Utilities::util::with_trailing_char(root, L'/') + relative;
}

std::wstring SyncBase::state_key(std::wstring const& path) const {
  std::wstring candidate = path;
  std::wstring const& root = source_root;
  if (!root.empty() && path.compare(0, root.size(), root) == 0 &&
      (path.size() == root.size() || is_separator(path[root.size()]) || is_separator(root.back())))
    candidate = path.substr(root.size());
  std::size_t const first = candidate.find_first_not_of(L'/');
  candidate = first == std::wstring::npos ? std::wstring() : candidate.substr(first);
  if (candidate.empty()) {
    std::size_t const last = path.rfind(L'/');
    candidate = last == std::wstring::npos ? path : path.substr(last + 1);
  }
  return candidate;
}

bool SyncBase::leftover_staging(std::wstring const& name, std::wstring const& path,
                                Place const& side) const {
  if (!Utilities::staging::staging_name(name)) return false;
  // A remote staging name is the remote store's own to clear.
  if (!side.remote() && !dry_run) Utilities::staging::remove_leftover(Utilities::to_path(path));
  return true;
}

void SyncBase::sync_file(std::wstring const& source, std::wstring const& target,
                         std::wstring const& wildcard) {
  if (dry_run && !planning()) {
    ++count;
    return;
  }
  guarded(source, target, [&] {
    SyncItem entry(item.name, item.type, source, target, wildcard, Exclusions{}, item.flags,
                   item.compare_items);
    SyncFile job(std::move(entry), count, dry_run, false, state, source_root, target_root, &sides);
    job.folders = folders;
    job.read_ahead = read_ahead;
    job();
  });
}

void SyncBase::guarded(std::wstring const& source, std::wstring const& target,
                       std::function<void()> const& job) {
  try {
    job();
  } catch (ListingFailed const&) {
    // Reported by the listing itself.
  } catch (std::filesystem::filesystem_error const& e) {
    report_failure(source, e);
  } catch (std::exception const& e) {
    std::wstring const message = Utilities::util::string_to_wstring(e.what());
    Utilities::log_at(LogLevel::Error, source, target, message);
    report_sync_error(source + L": " + message);
  } catch (...) {
    Utilities::log_at(LogLevel::Error, source, target,
                      std::wstring(L" - ") + translate("unknown_error"));
    report_sync_error(translate("unknown_error_for") + source);
  }
}

void SyncBase::report_failure(std::wstring const& path,
                              std::filesystem::filesystem_error const& e) const {
  std::wstring const text = Utilities::FilesystemUtil::failure_text(e.code()) + L": " +
                            (e.path1().empty() ? path : Utilities::from_path(e.path1()));
  report_refusal(text, Utilities::FilesystemUtil::reason_for_failure(e.code()));
}

bool SyncBase::drive_not_exist(std::wstring const& path, Place const& side) const {
  Utilities::log_at(LogLevel::Debug, std::wstring(L"drive_not_exist: ") + path);
  if (side.remote()) return false;
  if (Utilities::MountedDrives::instance().drive_mounted(Utilities::to_path(path), path))
    return false;
  Utilities::log_at(LogLevel::Debug, L"drive_not_exist: TRUE");
  return true;
}

bool SyncBase::local_dir_created(std::wstring const& path, char const* message_id) const {
  std::error_code ec;
  FileInfoResult const reason =
      Utilities::FilesystemUtil::create_directory_refusal(Utilities::to_path(path), ec);
  if (reason == 0) return true;
  std::wstring const text =
      translate(message_id) + path + L": " + Utilities::FilesystemUtil::failure_text(ec);
  report_refusal(text, Utilities::FilesystemUtil::reason_for_failure(ec));
  return false;
}

bool SyncBase::create_target_dir_if_not_exist(std::wstring const& directory) const {
  Utilities::log_at(LogLevel::Debug, std::wstring(L"create_target_dir_if_not_exist: ") + directory);
  if (dry_run) return true;
  std::wstring const dir =
      directory.empty() ? (item.target() ? item.target()->path() : std::wstring()) : directory;
  Place const& side = target_side();
  if (drive_not_exist(dir, side)) return true;
  if (!side.remote())
    return local_dir_created(without_volume_spec(dir), "target_dir_not_creatable");
  PlaceFailure const failure = side.make_folders(dir);
  if (!failure) return true;
  Utilities::log_at(LogLevel::Error, translate("ssh_dir_create_error") + dir);
  report_remote_dir("ssh_target_dir_not_creatable", failure);
  return false;
}

bool SyncBase::create_source_dir(std::wstring const& directory) const {
  Utilities::log_at(LogLevel::Debug, std::wstring(L"create_source_dir: ") + directory);
  if (dry_run) return true;
  Place const& side = source_side();
  if (!side.remote()) return local_dir_created(directory, "source_dir_create_error");
  PlaceFailure const failure = side.make_folders(directory);
  if (!failure) return true;
  Utilities::log_at(LogLevel::Error, translate("source_dir_create_error"), directory);
  report_remote_dir("source_dir_create_error", failure);
  return false;
}

bool SyncBase::skip_undecodable(std::string const& name, std::wstring const& directory) {
  if (Utilities::util::valid_utf8(name)) return false;
  Utilities::log_at(LogLevel::Debug, std::wstring(L"skipped, name is not UTF-8, in: ") + directory);
  report_sync_hint("undecodable_name_skipped", directory);
  return true;
}

bool SyncBase::mark_refused(std::wstring const& key) { return refused_items.insert(key); }

void SyncBase::clear_refused(std::wstring const& key) { refused_items.erase(key); }

bool SyncBase::deleted(std::wstring const& path, Place const& side, char const* message_id) const {
  PlaceFailure const failure = side.discard(path);
  if (!failure) return true;
  if (failure.reason == FileInfoResult::file_not_exist) {
    Utilities::log_at(LogLevel::Debug, std::wstring(L"deleted: already gone: ") + path);
    return true;
  }
  report_side_failure(message_id, failure);
  return false;
}

void SyncBase::report_side_failure(char const* message_id, PlaceFailure const& failure) const {
  std::wstring const text = translate(message_id) + failure.path + known_reason(failure.reason);
  report_refusal(text, failure.reason);
}

bool SyncBase::links_as_links() const { return item.flags.symlinks == SymlinkMode::AsLink; }

bool SyncBase::follows_links() const {
  return item.flags.symlinks == SymlinkMode::Follow && !item.flags.twoWaySync &&
         !item.flags.delAftercopy;
}

bool SyncBase::completes_moves() const {
  return moves && !item.flags.twoWaySync && !item.flags.syncDeletions;
}

bool SyncBase::stop_requested() const { return RunContext::stopping(); }

Place const& SyncBase::side_of(std::wstring const& path) const {
  // Sides of one kind behave alike for any of their paths; a remote side knows its own.
  if (sides.source->remote() == sides.target->remote()) return *sides.source;
  Place const& remote = sides.source->remote() ? *sides.source : *sides.target;
  Place const& local = sides.source->remote() ? *sides.target : *sides.source;
  return remote.holds(path) ? remote : local;
}

bool SyncBase::source_remote() const { return sides.source->remote(); }

bool SyncBase::target_remote() const { return sides.target->remote(); }

std::wstring known_reason(FileInfoResult reason) {
  if (reason == FileInfoResult::file_info_write_error) return {};
  return L" (" + Utilities::FilesystemUtil::make_error_message(reason) + L")";
}

void report_remote_dir(char const* message_id, PlaceFailure const& failure) {
  report_sync_refusal(translate(message_id) + failure.path + known_reason(failure.reason),
                      failure.reason);
}

}  // namespace KVO_Core
