#include "core/remote/RemoteWebStore.h"

#include <ctime>
#include <filesystem>
#include <functional>
#include <system_error>

#include "core/cloud/CloudStore.h"
#include "core/cloud/oauth/AccessToken.h"
#include "core/config/RemotePaths.h"
#include "core/remote/TransferFile.h"
#include "core/run/SyncReport.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core::web_store {

namespace {

using Utilities::FilesystemUtil::FileInfoResult;
using Utilities::util::string_to_wstring;

void log_failure(Utilities::LogLevel level, std::wstring const& path, char const* what) {
  Utilities::log_at(level, L"WebDAV: " + path + L": " + string_to_wstring(what));
}

// Runs one web-store call for the path: 0, or the reason of its exception after a log line.
// An unclassified failure becomes 10, which leaves an older failure reason in place.
FileInfoResult attempt(std::wstring const& path, std::function<void()> const& call) {
  try {
    call();
    return FileInfoResult::no_failure;
  } catch (SshUnreachable const& e) {
    log_failure(Utilities::LogLevel::Warning, path, e.what());
    return e.reason;
  } catch (RemoteFailure const& e) {
    log_failure(Utilities::LogLevel::Error, path, e.what());
    return e.reason == FileInfoResult::unknown_error ? FileInfoResult::file_info_write_error
                                                     : e.reason;
  } catch (std::exception const& e) {
    log_failure(Utilities::LogLevel::Error, path, e.what());
    return FileInfoResult::file_info_write_error;
  }
}

// Whether a stale access token of an OAuth account was dropped, so that one more try may
// succeed.
bool dropped_stale_token(SshAccount const& account) { return oauth::forget_access_token(account); }

// The guard with one retry after a refused login of an account whose token was dropped; the
// final reason (0 on success) is also left as the thread's failure reason, except 10.
FileInfoResult guarded(std::wstring const& path, std::function<void(SshAccount const&)> const& call,
                       SshAccount const& account) {
  FileInfoResult reason = attempt(path, [&] { call(account); });
  if (reason == FileInfoResult::authentication_failed) {
    std::optional<SshAccount> const again = get_account_from_path(path);
    if (again && dropped_stale_token(*again)) {
      reason = attempt(path, [&] { call(*again); });
      if (reason == FileInfoResult::authentication_failed) {
        reason = FileInfoResult::access_token_expired;
      }
    }
  }
  if (reason != FileInfoResult::no_failure && reason != FileInfoResult::file_info_write_error) {
    ssh_set_failure_reason(reason);
  }
  return reason;
}

std::optional<webdav::Entry> stat_of(SshAccount const& account, std::wstring const& path,
                                     bool& ok) {
  std::optional<webdav::Entry> entry;
  std::string const remote = get_remote_path(path);
  ok = guarded(
           path, [&](SshAccount const& a) { entry = cloud_store::stat(a, remote); }, account) ==
       FileInfoResult::no_failure;
  return entry;
}

// Removes a local file that a failed or stopped download made; a file that was there before
// the call is not this call's to remove.
void drop_unfinished(std::filesystem::path const& local, bool existed) {
  if (existed) return;
  std::error_code ignored;
  std::filesystem::remove(local, ignored);
}

}  // namespace

std::optional<SshAccount> account_of(std::wstring const& path) {
  std::optional<SshAccount> account = get_account_from_path(path);
  if (!account || !cloud_store::handles(*account)) return std::nullopt;
  return account;
}

bool list_dir(SshAccount const& account, std::wstring const& path,
              std::vector<SshDirEntry>& entries) {
  std::vector<webdav::Entry> listed;
  std::string const remote = get_remote_path(path);
  FileInfoResult const reason = guarded(
      path, [&](SshAccount const& a) { listed = cloud_store::list(a, remote); }, account);
  if (reason != FileInfoResult::no_failure) {
    FileInfoResult const taken = ssh_take_failure_reason();
    std::wstring text = Utilities::translation::translate("remote_dir_open_error") + path;
    if (taken != FileInfoResult::no_failure) {
      text += L" (" + Utilities::FilesystemUtil::make_error_message(taken) + L")";
    }
    FileInfoResult const left =
        taken != FileInfoResult::no_failure ? taken : FileInfoResult::file_info_read_error;
    report_sync_refusal(text, left);
    // A caller that cannot tell a failed listing from an empty one must not guess.
    ssh_set_failure_reason(left);
    return false;
  }
  for (webdav::Entry const& entry : listed) {
    // Such a name would be read as another one; it is neither copied nor taken as deleted.
    if (!Utilities::util::valid_utf8(entry.name)) {
      Utilities::log_at(Utilities::LogLevel::Debug, L"skipped, name is not UTF-8, in: " + path);
      report_sync_hint("undecodable_name_skipped", path);
      continue;
    }
    entries.push_back(
        {string_to_wstring(entry.name), entry.is_dir, !entry.is_dir, false, entry.size});
  }
  return true;
}

Presence directory_presence(SshAccount const& account, std::wstring const& path) {
  bool ok = false;
  std::optional<webdav::Entry> const entry = stat_of(account, path, ok);
  if (!ok) return Presence::Unknown;
  return entry && entry->is_dir ? Presence::Present : Presence::Absent;
}

bool exists(SshAccount const& account, std::wstring const& path) {
  bool ok = false;
  return stat_of(account, path, ok).has_value() && ok;
}

bool mkdir(SshAccount const& account, std::wstring const& path) {
  std::string const remote = get_remote_path(path);
  return guarded(
             path, [&](SshAccount const& a) { cloud_store::make_directory(a, remote); }, account) ==
         FileInfoResult::no_failure;
}

FileInfoResult remove_refusal(SshAccount const& account, std::wstring const& path) {
  std::string const remote = get_remote_path(path);
  FileInfoResult const reason = guarded(
      path, [&](SshAccount const& a) { cloud_store::remove(a, remote); }, account);
  return reason;
}

FileInfoResult rmdir_refusal(SshAccount const& account, std::wstring const& path) {
  std::string const remote = get_remote_path(path);
  bool empty = false;
  FileInfoResult const reason = guarded(
      path, [&](SshAccount const& a) { empty = cloud_store::list(a, remote).empty(); }, account);
  if (reason != FileInfoResult::no_failure) return reason;
  if (!empty) {
    ssh_set_failure_reason(FileInfoResult::file_conflict);
    return FileInfoResult::file_conflict;
  }
  return remove_refusal(account, path);
}

bool rename(SshAccount const& account, std::wstring const& from, std::wstring const& to) {
  std::string const source = get_remote_path(from);
  std::string const target = get_remote_path(to);
  return guarded(
             from, [&](SshAccount const& a) { cloud_store::move(a, source, target); }, account) ==
         FileInfoResult::no_failure;
}

CopyResult download(SshAccount const& account, std::wstring const& remote,
                    std::wstring const& local) {
  std::filesystem::path const target = Utilities::to_path(local);
  std::error_code ec;
  bool const existed =
      std::filesystem::symlink_status(target, ec).type() != std::filesystem::file_type::not_found;
  std::string const source = get_remote_path(remote);
  CopyResult result = CopyResult::Failed;
  guarded(
      remote, [&](SshAccount const& a) { result = cloud_store::download(a, source, target); },
      account);
  if (result != CopyResult::Done) drop_unfinished(target, existed);
  return result;
}

CopyResult upload(std::wstring const& local, SshAccount const& account,
                  std::wstring const& remote) {
  std::filesystem::path const source = Utilities::to_path(local);
  std::string const target = get_remote_path(remote);
  CopyResult result = CopyResult::Failed;
  guarded(
      remote, [&](SshAccount const& a) { result = cloud_store::upload(source, a, target); },
      account);
  return result;
}

SshFileInfo inspect_file(SshAccount const& account, std::string const& path) {
  std::optional<webdav::Entry> const entry = cloud_store::stat(account, path);
  if (!entry) return {};
  return SshFileInfo{true, entry->size, time_to_iso(entry->mtime), entry->mtime};
}

CopyResult copy_through_file(std::wstring const& from, std::wstring const& to) {
  // A private folder: the file takes the remote file's rights once downloaded.
  return copy_through_transfer_file(from, to);
}

}  // namespace KVO_Core::web_store
