#include "core/sync/RemotePlace.h"

#include "core/config/RemotePaths.h"
#include "core/remote/RemoteOps.h"
#include "core/run/SyncReport.h"
#include "core/sync/Refusals.h"
#include "utilities/FileTime.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace fsu = Utilities::FilesystemUtil;
using Utilities::LogLevel;
using Utilities::translation::translate;

namespace {

std::wstring account_name_of(std::wstring const& path) {
  std::size_t const colon = path.find(L':');
  if (colon == std::wstring::npos || colon == 0) return {};
  return path.substr(0, colon);
}

// The dispatch's reason for the failure just seen; 0 when it left none.
fsu::FileInfoResult taken_reason() {
  fsu::FileInfoResult const reason = ssh_take_failure_reason();
  return reason == fsu::unknown_error ? fsu::no_failure : reason;
}

// A failed directory or rename operation without a reason of its own: 13 on a read-only place,
// else the generic write reason.
PlaceFailure write_failure(std::wstring const& path) {
  fsu::FileInfoResult reason = taken_reason();
  if (reason == 0)
    reason =
        ssh_read_only_filesystem(path) ? fsu::filesystem_read_only : fsu::file_info_write_error;
  return {reason, path, {}};
}

PlaceFailure taken_refusal(std::wstring const& path, fsu::FileInfoResult reason) {
  ssh_take_failure_reason();
  if (reason == 0) return {};
  return {reason, path, {}};
}

// Fills an empty failure record of a failed transfer from the dispatch's reason.
void name_failure(CopyResult result, std::wstring const& to, bool to_here, CopyFailure& failure) {
  if (result != CopyResult::Failed || failure.reason != 0) {
    ssh_take_failure_reason();
    return;
  }
  if (fsu::FileInfoResult const reason = taken_reason(); reason != 0)
    failure = {reason, fsu::make_error_message(reason)};
  else if (to_here && ssh_read_only_filesystem(to))
    failure = {fsu::filesystem_read_only,
               fsu::make_error_message(fsu::filesystem_read_only) + L": " + to};
}

Presence folder_presence_of(std::wstring const& path) {
  Presence const presence = ssh_directory_presence(path);
  ssh_take_failure_reason();
  return presence;
}

// A failed removal; a store that says no more than that it failed is asked whether the file
// was there at all.
PlaceFailure removal_failure(std::wstring const& path, fsu::FileInfoResult reason) {
  PlaceFailure failure = taken_refusal(path, reason);
  if (failure.reason == fsu::file_info_write_error && !ssh_exists(path) &&
      ssh_take_failure_reason() == 0)
    failure.reason = fsu::file_not_exist;
  ssh_take_failure_reason();
  return failure;
}

EntryKind entry_kind(SshDirEntry const& entry) {
  if (entry.is_link) return EntryKind::Link;
  if (entry.is_dir) return EntryKind::Directory;
  if (entry.is_file) return EntryKind::File;
  return EntryKind::Other;
}

// A rename that failed: some stores say no more than that, so a taken destination and a missing
// source are told from what stands there now.
Renamed refused_rename(std::wstring const& from, std::wstring const& to, PlaceFailure& failure) {
  failure = write_failure(to);
  if (failure.reason == fsu::file_info_write_error) {
    if (ssh_exists(to))
      failure.reason = fsu::file_conflict;
    else if (!ssh_exists(from) && ssh_take_failure_reason() == 0)
      failure = {fsu::file_not_exist, from, {}};
    ssh_take_failure_reason();
  }
  return failure.reason == fsu::file_conflict ? Renamed::Taken : Renamed::Failed;
}

}  // namespace

RemotePlace::RemotePlace(std::wstring const& root) : account_name_(account_name_of(root)) {}

bool RemotePlace::holds(std::wstring const& path) const {
  return !account_name_.empty() && path.size() > account_name_.size() &&
         path[account_name_.size()] == L':' &&
         path.compare(0, account_name_.size(), account_name_) == 0;
}

PlaceListing RemotePlace::list(std::wstring const& folder) const {
  std::vector<SshDirEntry> listed;
  PlaceListing listing;
  listing.complete = ssh_list_dir(folder, listed);
  fsu::FileInfoResult const reason = taken_reason();
  if (!listing.complete)
    listing.failure = {reason == 0 ? fsu::file_info_read_error : reason, folder, {}};
  // A store without folders of its own lists a missing one as empty.
  if (listing.complete && listed.empty() && folder_presence_of(folder) == Presence::Absent) {
    listing.complete = false;
    listing.failure = {fsu::file_not_exist, folder, {}};
  }
  listing.entries.reserve(listed.size());
  for (SshDirEntry& entry : listed)
    listing.entries.push_back({std::move(entry.name), entry_kind(entry), entry.size});
  return listing;
}

Standing RemotePlace::observe(std::wstring const& path, ObservedFile& seen, std::wstring&,
                              fsu::ChangeStamp*) const {
  std::wstring const name = account_name_of(path);
  if (name.empty()) {
    Utilities::log_at(LogLevel::Error, translate("ssh_path_invalid") + path);
    return Standing::Unavailable;
  }
  std::optional<SshAccount> const* account = nullptr;
  std::optional<SshAccount> other;
  if (name == account_name_) {
    std::call_once(looked_up_, [&path, this] { account_ = get_account_from_path(path); });
    account = &account_;
  } else {
    other = get_account_from_path(path);
    account = &other;
  }
  if (!*account) {
    Utilities::log_at(LogLevel::Error, translate("ssh_account_not_found") + name);
    return Standing::Unavailable;
  }
  try {
    SshFileInspector inspector(**account);
    SshFileInfo const info =
        inspector.inspect_file(Utilities::util::wstring_to_string(path.substr(name.size() + 1)));
    if (!info.exists) return Standing::Missing;
    seen.size = info.size;
    seen.mtime = Utilities::file_time::to_file_time(static_cast<std::time_t>(info.mtime));
    return Standing::Present;
  } catch (SshUnreachable const& e) {
    std::wstring const text = translate("ssh_not_reachable_for") + path + L": " +
                              Utilities::util::string_to_wstring(e.what());
    Utilities::log_at(LogLevel::Warning, text);
    // A server lost mid-pass gives up the run as a failure, not a pass with no errors.
    report_sync_refusal(text, e.reason);
  } catch (std::exception const& e) {
    report_error(translate("ssh_read_error_for") + path + L": " +
                 Utilities::util::string_to_wstring(e.what()));
  }
  return Standing::Unavailable;
}

std::optional<EntryInfo> RemotePlace::entry(std::wstring const& path) const {
  std::optional<SshLinkInfo> const info = ssh_link_info(path);
  ssh_take_failure_reason();
  // A store without links still tells files from folders.
  if (!info && !ssh_keeps_links(path)) {
    Presence const presence = ssh_directory_presence(path);
    bool const found = presence != Presence::Unknown && ssh_exists(path);
    fsu::FileInfoResult const reason = ssh_take_failure_reason();
    if (presence == Presence::Unknown || (!found && reason != 0)) return std::nullopt;
    bool const is_dir = presence == Presence::Present;
    return EntryInfo{found, false, is_dir, is_dir, found, {}};
  }
  if (!info) return std::nullopt;
  return EntryInfo{info->exists,        info->is_link,  info->is_dir,
                   info->target_is_dir, info->resolves, info->target};
}

bool RemotePlace::exists(std::wstring const& path) const {
  bool const found = ssh_exists(path);
  ssh_take_failure_reason();
  return found;
}

FolderPresence RemotePlace::folder(std::wstring const& path) const {
  Presence const presence = ssh_directory_presence(path);
  ssh_take_failure_reason();
  switch (presence) {
    case Presence::Present:
      return FolderPresence::Present;
    case Presence::Absent:
      return FolderPresence::Absent;
    default:
      return FolderPresence::Unknown;
  }
}

std::optional<std::wstring> RemotePlace::real_path(std::wstring const& path) const {
  std::optional<std::wstring> real = ssh_real_path(path);
  ssh_take_failure_reason();
  return real;
}

CopyResult RemotePlace::write(Place const& from_side, std::wstring const& from,
                              std::wstring const& path, CopyFailure& failure) const {
  ssh_take_failure_reason();
  CopyResult const result =
      from_side.remote() ? copy_ssh_to_ssh(from, path) : copy_fs_to_ssh(from, path);
  name_failure(result, path, true, failure);
  return result;
}

CopyResult RemotePlace::read_into(std::wstring const& path, std::wstring const& local_file,
                                  CopyFailure& failure) const {
  ssh_take_failure_reason();
  CopyResult const result = copy_ssh_to_fs(path, local_file);
  name_failure(result, local_file, false, failure);
  return result;
}

// The dispatch publishes its uploads itself; a rename is all that is left to ask of it. No
// store renames over a name, so a replaced file steps aside until the new one stands.
PlaceFailure RemotePlace::publish(std::wstring const& staged, std::wstring const& path,
                                  bool replace) const {
  PlaceFailure failure;
  if (rename(staged, path, failure) != Renamed::Taken || !replace) return failure;
  std::wstring aside;
  for (int n = 0; n < 100 && aside.empty(); ++n) {
    std::wstring const candidate = path + L".old" + (n == 0 ? L"" : std::to_wstring(n));
    PlaceFailure moved;
    switch (rename(path, candidate, moved)) {
      case Renamed::Done:
        aside = candidate;
        break;
      case Renamed::Taken:
        break;
      case Renamed::Failed:
        return moved;
    }
  }
  if (aside.empty()) return failure;
  if (rename(staged, path, failure) != Renamed::Done) {
    PlaceFailure ignored;
    rename(aside, path, ignored);
    return failure;
  }
  ssh_remove_refusal(aside);
  ssh_take_failure_reason();
  return {};
}

Renamed RemotePlace::rename(std::wstring const& from, std::wstring const& to,
                            PlaceFailure& failure) const {
  ssh_take_failure_reason();
  if (ssh_rename(from, to)) {
    failure = {};
    return Renamed::Done;
  }
  return refused_rename(from, to, failure);
}

PlaceFailure RemotePlace::remove_file(std::wstring const& path) const {
  return removal_failure(path, ssh_remove_refusal(path));
}

PlaceFailure RemotePlace::discard(std::wstring const& path) const {
  return removal_failure(path, ssh_remove_refusal(path));
}

PlaceFailure RemotePlace::remove_empty_folder(std::wstring const& path) const {
  PlaceFailure failure = taken_refusal(path, ssh_rmdir_refusal(path));
  // A server may refuse a folder that is not empty with no more than a generic failure.
  if (failure.reason == fsu::file_info_write_error) {
    std::vector<SshDirEntry> inside;
    if (ssh_list_dir(path, inside) && !inside.empty()) failure.reason = fsu::file_conflict;
    ssh_take_failure_reason();
  }
  return failure;
}

PlaceFailure RemotePlace::make_folders(std::wstring const& path) const {
  ssh_take_failure_reason();
  if (ssh_mkdir_p(path)) return {};
  return write_failure(path);
}

// Times and rights on the server travel with the upload itself.
PlaceFailure RemotePlace::set_time(std::wstring const& path,
                                   std::filesystem::file_time_type const&) const {
  return {fsu::unsupported_operation, path, {}};
}

PlaceFailure RemotePlace::set_rights(std::wstring const& path, std::filesystem::perms) const {
  return {fsu::unsupported_operation, path, {}};
}

std::optional<std::wstring> RemotePlace::read_link(std::wstring const& path) const {
  std::optional<EntryInfo> const info = entry(path);
  if (!info || !info->is_link || info->target.empty()) return std::nullopt;
  return info->target;
}

PlaceFailure RemotePlace::make_link(std::wstring const& text, std::wstring const& path,
                                    bool) const {
  ssh_take_failure_reason();
  fsu::FileInfoResult const reason = ssh_create_link(text, path);
  return taken_refusal(path, reason);
}

bool RemotePlace::read_only(std::wstring const& path) const {
  bool const read_only = ssh_read_only_filesystem(path);
  ssh_take_failure_reason();
  return read_only;
}

std::pair<std::uint64_t, bool> RemotePlace::room(std::wstring const& path,
                                                 bool old_destination_kept) const {
  auto const room = ssh_room_for(path, old_destination_kept);
  ssh_take_failure_reason();
  return room;
}

bool RemotePlace::keeps_links(std::wstring const& path) const { return ssh_keeps_links(path); }

}  // namespace KVO_Core
