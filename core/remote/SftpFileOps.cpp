#include <fcntl.h>

#include "core/config/RemotePaths.h"
#include "core/remote/SftpBackend.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core::sftp_backend {

using Utilities::LogLevel;
using Utilities::FilesystemUtil::FileInfoResult;
using Utilities::translation::translate;
using Utilities::util::string_to_wstring;

namespace {

FileInfoResult removal_refusal(std::wstring const& path,
                               int (*operation)(sftp_session, char const*),
                               char const* message_id) {
  FileInfoResult reason = FileInfoResult::file_info_write_error;
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(path, connection, &reason);
  if (!p)
    return reason == FileInfoResult::unknown_error ? FileInfoResult::file_info_write_error : reason;
  connection.begin_request();
  if (operation(connection.sftp(), p->c_str()) == 0) return FileInfoResult::no_failure;
  if (connection.broken()) {
    Utilities::log_at(LogLevel::Error, translate(message_id) + string_to_wstring(*p));
    connection.discard();
    return FileInfoResult::connection_lost;
  }
  int const code = sftp_get_error(connection.sftp());
  if (code == SSH_FX_NO_SUCH_FILE) return FileInfoResult::file_not_exist;
  Utilities::log_at(LogLevel::Error, translate(message_id) + string_to_wstring(*p));
  if (code == SSH_FX_PERMISSION_DENIED) return FileInfoResult::permission_denied;
  if (code == SSH_FX_WRITE_PROTECT) return FileInfoResult::filesystem_read_only;
  return remote_read_only(connection, *p) ? FileInfoResult::filesystem_read_only
                                          : FileInfoResult::file_info_write_error;
}

}  // namespace

void log_rename_failure(std::string const& from, std::string const& to) {
  Utilities::log_at(LogLevel::Error, translate("remote_rename_error") + L": " +
                                         string_to_wstring(from) + L" -> " + string_to_wstring(to));
}

bool ssh_mkdir(std::wstring const& path) {
  Utilities::log_at(LogLevel::Debug, L"ssh_mkdir: " + path);
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(path, connection, nullptr);
  if (!p) return false;
  connection.begin_request();
  if (sftp_mkdir(connection.sftp(), p->c_str(), 0755) == 0) return true;
  // A missing parent (1) is the caller's to handle; anything further reaching is kept.
  FileInfoResult const reason = session_reason(connection);
  if (reason > FileInfoResult::file_not_exist) note_failure(connection);
  Utilities::log_at(LogLevel::Error, translate("remote_dir_create_error") + string_to_wstring(*p));
  return false;
}

FileInfoResult ssh_remove_refusal(std::wstring const& path) {
  Utilities::log_at(LogLevel::Debug, L"ssh_remove_file: " + path);
  return removal_refusal(path, sftp_unlink, "remote_file_delete_error");
}

FileInfoResult ssh_rmdir_refusal(std::wstring const& path) {
  Utilities::log_at(LogLevel::Debug, L"ssh_rmdir: " + path);
  return removal_refusal(path, sftp_rmdir, "remote_dir_delete_error");
}

bool ssh_rename(std::wstring const& from, std::wstring const& to) {
  Utilities::log_at(LogLevel::Debug, L"ssh_rename: " + from + L" -> " + to);
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(from, connection, nullptr);
  if (!p) return false;
  std::string const q = win_to_sftp_path(get_remote_path(to));
  // One session cannot move a file to another server.
  if (!same_account(from, to)) {
    log_rename_failure(*p, q);
    ssh_set_failure_reason(FileInfoResult::unsupported_operation);
    return false;
  }
  sftp_session const sftp = connection.sftp();
  // A hard link never replaces what stands at the new name; it does not take folders.
  if (sftp_extension_supported(sftp, "hardlink@openssh.com", "1")) {
    connection.begin_request();
    if (sftp_hardlink(sftp, p->c_str(), q.c_str()) == 0) {
      connection.begin_request();
      if (sftp_unlink(sftp, p->c_str()) == 0) return true;
      note_failure(connection);
      sftp_unlink(sftp, q.c_str());
      log_rename_failure(*p, q);
      return false;
    }
    if (connection.broken()) {
      note_failure(connection);
      log_rename_failure(*p, q);
      return false;
    }
  }
  // Elsewhere a rename would replace the destination (posix-rename): refuse one that exists.
  connection.begin_request();
  SftpAttributesHandle const there(sftp_lstat(sftp, q.c_str()));
  if (there || sftp_get_error(sftp) != SSH_FX_NO_SUCH_FILE) {
    if (there)
      ssh_set_failure_reason(FileInfoResult::file_conflict);
    else
      note_failure(connection);
    log_rename_failure(*p, q);
    return false;
  }
  connection.begin_request();
  if (sftp_rename(sftp, p->c_str(), q.c_str()) == 0) return true;
  note_failure(connection);
  log_rename_failure(*p, q);
  return false;
}

FileInfoResult ssh_create_link(std::wstring const& link_text, std::wstring const& path) {
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(path, connection, nullptr);
  if (!p) return FileInfoResult::file_info_write_error;
  std::string const target = Utilities::util::wstring_to_string(link_text);
  connection.begin_request();
  if (sftp_symlink(connection.sftp(), target.c_str(), p->c_str()) == 0)
    return FileInfoResult::no_failure;
  int const code = sftp_get_error(connection.sftp());
  Utilities::log_at(LogLevel::Debug,
                    L"ssh_create_link: " + path + L" - " + string_to_wstring(connection.error()));
  if (connection.broken()) {
    note_failure(connection);
    return FileInfoResult::connection_lost;
  }
  if (code == SSH_FX_NO_SUCH_FILE) return FileInfoResult::file_not_exist;
  if (code == SSH_FX_PERMISSION_DENIED) {
    // A place that takes files but not links lacks a capability; one that takes neither is shut.
    SftpFileHandle probe = connection.open(*p, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (!probe) return FileInfoResult::permission_denied;
    probe.reset();
    sftp_unlink(connection.sftp(), p->c_str());
    return FileInfoResult::links_not_supported;
  }
  if (code == SSH_FX_OP_UNSUPPORTED) return FileInfoResult::links_not_supported;
  return remote_read_only(connection, *p) ? FileInfoResult::filesystem_read_only
                                          : FileInfoResult::file_info_write_error;
}

}  // namespace KVO_Core::sftp_backend
