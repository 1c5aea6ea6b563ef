#include "core/remote/RemoteOps.h"

#include "core/run/SyncReport.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

using Utilities::FilesystemUtil::FileInfoResult;

namespace {

thread_local FileInfoResult failure_reason = FileInfoResult::no_failure;

// Remote access is not built yet: every operation says so once per call and fails.
void unavailable(std::wstring const& path) {
  Utilities::log_at(Utilities::LogLevel::Error,
                    Utilities::translation::translate("remote_access_unavailable"), path);
}

}  // namespace

std::vector<SshDirEntry> ssh_list_dir(std::wstring const& path) {
  unavailable(path);
  report_sync_refusal(Utilities::translation::translate("remote_dir_open_error") + path,
                      FileInfoResult::file_info_write_error);
  return {};
}

bool ssh_keeps_links(std::wstring const&) { return true; }

std::optional<SshLinkInfo> ssh_link_info(std::wstring const& path) {
  unavailable(path);
  return std::nullopt;
}

std::optional<std::wstring> ssh_real_path(std::wstring const& path) {
  unavailable(path);
  return std::nullopt;
}

FileInfoResult ssh_create_link(std::wstring const&, std::wstring const& path) {
  unavailable(path);
  return FileInfoResult::file_info_write_error;
}

FileInfoResult ssh_remove_refusal(std::wstring const& path) {
  unavailable(path);
  return FileInfoResult::file_info_write_error;
}

bool ssh_remove_file(std::wstring const& path) { return ssh_remove_refusal(path) == 0; }

FileInfoResult ssh_rmdir_refusal(std::wstring const& path) {
  unavailable(path);
  return FileInfoResult::file_info_write_error;
}

bool ssh_mkdir_p(std::wstring const& path) {
  failure_reason = FileInfoResult::no_failure;
  unavailable(path);
  return false;
}

bool ssh_rename(std::wstring const& from, std::wstring const&) {
  unavailable(from);
  return false;
}

CopyResult copy_ssh_to_fs(std::wstring const& remote_source, std::wstring const&) {
  unavailable(remote_source);
  return CopyResult::Failed;
}

CopyResult copy_fs_to_ssh(std::wstring const&, std::wstring const& remote_target) {
  unavailable(remote_target);
  return CopyResult::Failed;
}

CopyResult copy_ssh_to_ssh(std::wstring const& remote_source, std::wstring const&) {
  unavailable(remote_source);
  return CopyResult::Failed;
}

bool ssh_exists(std::wstring const& path) {
  unavailable(path);
  return false;
}

bool ssh_is_directory(std::wstring const& path) {
  unavailable(path);
  return false;
}

bool ssh_read_only_filesystem(std::wstring const&) { return false; }

FileInfoResult ssh_take_failure_reason() {
  FileInfoResult const reason = failure_reason;
  failure_reason = FileInfoResult::no_failure;
  return reason;
}

void ssh_set_failure_reason(FileInfoResult reason) { failure_reason = reason; }

std::pair<std::uint64_t, bool> ssh_room_for(std::wstring const&, bool) { return {0, false}; }

SshFileInspector::SshFileInspector(SshAccount const& account) : account_(account) {
  throw RemoteFailure(FileInfoResult::file_info_write_error,
                      Utilities::translation::translate_utf8("remote_access_unavailable"));
}

SshFileInspector::~SshFileInspector() = default;

SshFileInfo SshFileInspector::inspect_file(std::string const& remote_path) {
  throw RemoteFailure(
      FileInfoResult::file_info_write_error,
      Utilities::translation::translate_utf8("remote_access_unavailable") + " " + remote_path);
}

}  // namespace KVO_Core
