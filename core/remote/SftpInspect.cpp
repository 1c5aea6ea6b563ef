#include <ctime>
#include <iomanip>
#include <sstream>

#include "core/config/Config.h"
#include "core/config/RemotePaths.h"
#include "core/remote/RemoteWebStore.h"
#include "core/remote/SftpBackend.h"
#include "core/run/RunContext.h"
#include "core/run/SyncReport.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

using Utilities::LogLevel;
using Utilities::FilesystemUtil::FileInfoResult;
using Utilities::translation::translate;
using Utilities::util::string_to_wstring;

namespace {

// A phone's account found by its device: its address changes with the network it is on, so trust
// on first use would bind to an address rather than to the phone. Only a pinned key will do.
bool unpinned_device(SshAccount const& account) {
  if (!account.hostKey.empty()) return false;
  for (SshAccount const& configured : Config::instance()->ssh_accounts_snapshot())
    if (configured.name() == account.name()) return false;
  return Config::instance()->device_account(account.name()).has_value();
}

std::string unpinned_device_text(SshAccount const& account) {
  return Utilities::translation::translate_utf8("host_key_verification_failed") + ": " +
         account.name();
}

}  // namespace

std::string time_to_iso(std::int64_t seconds) {
  std::time_t const t = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&t, &local);
  std::ostringstream out;
  out << std::put_time(&local, "%Y-%m-%d %H:%M:%S");
  return out.str();
}

namespace sftp_backend {

std::string parent_of(std::string const& path) {
  std::size_t const slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::optional<std::string> connect_to(std::wstring const& path, SftpConnection& connection,
                                      FileInfoResult* reason_out) {
  std::optional<SshAccount> const account = get_account_from_path(path);
  if (!account) {
    Utilities::log_at(LogLevel::Error, translate("ssh_account_not_found_for") + path);
    return std::nullopt;
  }
  try {
    if (unpinned_device(*account))
      throw RemoteFailure(FileInfoResult::server_not_trusted, unpinned_device_text(*account));
    connection.connect(*account);
  } catch (SshUnreachable const& e) {
    Utilities::log_at(LogLevel::Warning, L"SSH: " + string_to_wstring(e.what()));
    if (e.reason != 0) ssh_set_failure_reason(e.reason);
    if (reason_out) *reason_out = e.reason;
    return std::nullopt;
  } catch (RemoteFailure const& e) {
    Utilities::log_at(LogLevel::Error, L"SSH: " + string_to_wstring(e.what()));
    if (e.reason != 0) ssh_set_failure_reason(e.reason);
    if (reason_out && e.reason != FileInfoResult::unknown_error) *reason_out = e.reason;
    return std::nullopt;
  } catch (std::exception const& e) {
    Utilities::log_at(LogLevel::Error, L"SSH: " + string_to_wstring(e.what()));
    return std::nullopt;
  }
  return get_remote_path(path);
}

FileInfoResult session_reason(SftpConnection const& connection) {
  if (connection.broken()) return FileInfoResult::connection_lost;
  switch (sftp_get_error(connection.sftp())) {
    case SSH_FX_NO_SUCH_FILE:
    case SSH_FX_NO_SUCH_PATH:
      return FileInfoResult::file_not_exist;
    case SSH_FX_PERMISSION_DENIED:
      return FileInfoResult::permission_denied;
    case SSH_FX_NO_CONNECTION:
    case SSH_FX_CONNECTION_LOST:
      return FileInfoResult::connection_lost;
    case SSH_FX_OP_UNSUPPORTED:
      return FileInfoResult::unsupported_operation;
    case SSH_FX_WRITE_PROTECT:
      return FileInfoResult::filesystem_read_only;
    default:
      return FileInfoResult::no_failure;
  }
}

void note_failure(SftpConnection& connection) {
  FileInfoResult const reason = session_reason(connection);
  if (reason != 0) ssh_set_failure_reason(reason);
  if (reason == FileInfoResult::connection_lost) connection.discard();
}

bool ssh_exists(std::wstring const& path) {
  Utilities::log_at(LogLevel::Debug, L"ssh_exists: " + path);
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(path, connection, nullptr);
  if (!p) return false;
  if (connection.stat(*p)) return true;
  note_failure(connection);
  return false;
}

Presence ssh_directory_presence(std::wstring const& path) {
  Utilities::log_at(LogLevel::Debug, L"ssh_directory_presence: " + path);
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(path, connection, nullptr);
  if (!p) return Presence::Unknown;
  SftpAttributesHandle const attrs = connection.stat(*p);
  if (attrs)
    return attrs->type == SSH_FILEXFER_TYPE_DIRECTORY ? Presence::Present : Presence::Absent;
  FileInfoResult const reason = session_reason(connection);
  note_failure(connection);
  return reason == FileInfoResult::file_not_exist ? Presence::Absent : Presence::Unknown;
}

bool ssh_list_dir(std::wstring const& path, std::vector<SshDirEntry>& entries) {
  Utilities::log_at(LogLevel::Debug, L"ssh_list_dir: " + path);
  FileInfoResult reason = FileInfoResult::file_info_read_error;
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(path, connection, &reason);
  if (!p) {
    std::wstring const text = translate("remote_dir_open_error") + path + L" (" +
                              Utilities::FilesystemUtil::make_error_message(reason) + L")";
    Utilities::log_at(LogLevel::Error, text);
    report_sync_refusal(text, reason);
    return false;
  }
  std::wstring const wide_p = string_to_wstring(*p);
  SftpDirHandle const dir = connection.open_dir(*p);
  if (!dir) {
    note_failure(connection);
    std::wstring const text = translate("remote_dir_open_error") + wide_p;
    Utilities::log_at(LogLevel::Error, text);
    report_sync_refusal(text, FileInfoResult::file_info_read_error);
    return false;
  }
  bool cut = false;
  while (SftpAttributesHandle const attrs = connection.read_dir(dir.get())) {
    std::string const name = attrs->name ? attrs->name : "";
    if (name == "." || name == "..") continue;
    if (!Utilities::FilesystemUtil::plain_entry_name(name)) {
      Utilities::log_at(LogLevel::Error, translate("remote_entry_name_rejected"), wide_p,
                        string_to_wstring(name));
      continue;
    }
    // Such a name would be read as another one; it is neither copied nor taken as deleted.
    if (!Utilities::util::valid_utf8(name)) {
      Utilities::log_at(LogLevel::Debug, L"skipped, name is not UTF-8, in: " + path);
      report_sync_hint("undecodable_name_skipped", path);
      continue;
    }
    entries.push_back({string_to_wstring(name), attrs->type == SSH_FILEXFER_TYPE_DIRECTORY,
                       attrs->type == SSH_FILEXFER_TYPE_REGULAR,
                       attrs->type == SSH_FILEXFER_TYPE_SYMLINK, attrs->size});
    // Outside a pass nobody stops a listing (the stop flag is set while no pass runs).
    if (entries.size() >= max_listing_entries ||
        (SshSessionScope::active() && RunContext::stopping())) {
      cut = true;
      break;
    }
  }
  if (cut || !sftp_dir_eof(dir.get())) {
    if (!cut) note_failure(connection);
    std::wstring const text = translate("remote_dir_read_incomplete") + wide_p + L" - " +
                              string_to_wstring(cut ? std::string() : connection.error());
    Utilities::log_at(LogLevel::Error, text);
    report_sync_refusal(text, FileInfoResult::file_info_read_error);
    return false;
  }
  return true;
}

std::optional<SshLinkInfo> ssh_link_info(std::wstring const& path) {
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(path, connection, nullptr);
  if (!p) return std::nullopt;
  connection.begin_request();
  SftpAttributesHandle const attrs(sftp_lstat(connection.sftp(), p->c_str()));
  if (!attrs) {
    bool const missing =
        !connection.broken() && sftp_get_error(connection.sftp()) == SSH_FX_NO_SUCH_FILE;
    note_failure(connection);
    if (missing) return SshLinkInfo{};
    return std::nullopt;
  }
  if (attrs->type != SSH_FILEXFER_TYPE_SYMLINK)
    return SshLinkInfo{true, false, attrs->type == SSH_FILEXFER_TYPE_DIRECTORY, false, L"", true};
  SshTextHandle const target(sftp_readlink(connection.sftp(), p->c_str()));
  SftpAttributesHandle const followed = connection.stat(*p);
  return SshLinkInfo{true,
                     true,
                     false,
                     followed && followed->type == SSH_FILEXFER_TYPE_DIRECTORY,
                     target ? string_to_wstring(target.get()) : L"",
                     followed != nullptr};
}

std::optional<std::wstring> ssh_real_path(std::wstring const& path) {
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(path, connection, nullptr);
  if (!p) return std::nullopt;
  if (!connection.stat(*p)) {
    note_failure(connection);
    return std::nullopt;
  }
  SshTextHandle const canonical(sftp_canonicalize_path(connection.sftp(), p->c_str()));
  if (!canonical) return std::nullopt;
  return string_to_wstring(canonical.get());
}

bool remote_read_only(SftpConnection const& connection, std::string path) {
  if (!connection.sftp()) return false;
  while (true) {
    SftpStatvfsHandle const st(sftp_statvfs(connection.sftp(), path.c_str()));
    if (st) return (st->f_flag & SSH_FXE_STATVFS_ST_RDONLY) != 0;
    if (sftp_get_error(connection.sftp()) != SSH_FX_NO_SUCH_FILE ||
        path.find('/') == std::string::npos || path.size() < 2)
      return false;
    path = parent_of(path);
  }
}

bool ssh_read_only_filesystem(std::wstring const& path) {
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(path, connection, nullptr);
  return p && remote_read_only(connection, *p);
}

std::pair<std::uint64_t, bool> ssh_room_for(std::wstring const& path, bool old_target_kept) {
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(path, connection, nullptr);
  if (!p) return {0, false};
  SftpStatvfsHandle const st(sftp_statvfs(connection.sftp(), parent_of(*p).c_str()));
  if (!st || st->f_blocks == 0) return {0, false};
  // Uploads are staged beside the old target, which stays until the new one is complete: its
  // room is never free for the copy, kept or not.
  (void)old_target_kept;
  return {st->f_bavail * st->f_frsize, true};
}

}  // namespace sftp_backend

SshFileInspector::SshFileInspector(SshAccount const& account) : account_(account) {
  if (is_web_store(account_)) return;  // web stores are asked per file, without a session
  if (unpinned_device(account_))
    throw RemoteFailure(FileInfoResult::server_not_trusted, unpinned_device_text(account_));
  connection_ = std::make_unique<SftpConnection>();
  connection_->connect(account_);
}

SshFileInspector::~SshFileInspector() = default;

SshFileInfo SshFileInspector::inspect_file(std::string const& remote_path) {
  if (!connection_) return web_store::inspect_file(account_, remote_path);
  SftpAttributesHandle const attrs = connection_->stat(win_to_sftp_path(remote_path));
  if (attrs) {
    std::int64_t const mtime = attrs->mtime;
    return SshFileInfo{true, attrs->size, time_to_iso(mtime), mtime};
  }
  int const code = connection_->sftp() ? sftp_get_error(connection_->sftp()) : -1;
  bool const broken = connection_->broken();
  if (!broken && (code == SSH_FX_NO_SUCH_FILE || code == SSH_FX_NO_SUCH_PATH)) return {};
  // A server that stopped answering would hold every later file for the whole time-out too.
  if (broken) connection_->discard();
  throw std::runtime_error(Utilities::translation::translate_utf8("sftp_stat_failed") +
                           std::to_string(code) + "): " + remote_path);
}

}  // namespace KVO_Core
