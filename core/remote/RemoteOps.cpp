#include "core/remote/RemoteOps.h"

#include "core/cloud/CloudStore.h"
#include "core/config/RemotePaths.h"
#include "core/remote/RemoteWebStore.h"
#include "core/remote/SftpBackend.h"
#include "core/run/SyncReport.h"
#include "utilities/Util.h"

namespace KVO_Core {

using Utilities::FilesystemUtil::FileInfoResult;

namespace {

thread_local FileInfoResult failure_reason = FileInfoResult::no_failure;

}  // namespace

bool is_web_store(SshAccount const& account) { return cloud_store::handles(account); }

bool ssh_list_dir(std::wstring const& path, std::vector<SshDirEntry>& entries) {
  if (auto const web = web_store::account_of(path)) return web_store::list_dir(*web, path, entries);
  return sftp_backend::ssh_list_dir(path, entries);
}

std::vector<SshDirEntry> ssh_list_dir(std::wstring const& path) {
  std::vector<SshDirEntry> entries;
  ssh_list_dir(path, entries);
  return entries;
}

bool ssh_keeps_links(std::wstring const& path) {
  std::optional<SshAccount> const account = get_account_from_path(path);
  return !account || !is_web_store(*account);
}

std::optional<SshLinkInfo> ssh_link_info(std::wstring const& path) {
  if (web_store::account_of(path)) return std::nullopt;
  return sftp_backend::ssh_link_info(path);
}

std::optional<std::wstring> ssh_real_path(std::wstring const& path) {
  if (web_store::account_of(path)) return std::nullopt;
  return sftp_backend::ssh_real_path(path);
}

FileInfoResult ssh_create_link(std::wstring const& link_text, std::wstring const& path) {
  if (!ssh_keeps_links(path)) return FileInfoResult::links_not_supported;
  return sftp_backend::ssh_create_link(link_text, path);
}

FileInfoResult ssh_remove_refusal(std::wstring const& path) {
  if (auto const web = web_store::account_of(path)) return web_store::remove_refusal(*web, path);
  return sftp_backend::ssh_remove_refusal(path);
}

bool ssh_remove_file(std::wstring const& path) { return ssh_remove_refusal(path) == 0; }

FileInfoResult ssh_rmdir_refusal(std::wstring const& path) {
  if (auto const web = web_store::account_of(path)) return web_store::rmdir_refusal(*web, path);
  return sftp_backend::ssh_rmdir_refusal(path);
}

bool ssh_rmdir(std::wstring const& path) { return ssh_rmdir_refusal(path) == 0; }

bool ssh_mkdir(std::wstring const& path) {
  if (auto const web = web_store::account_of(path)) return web_store::mkdir(*web, path);
  return sftp_backend::ssh_mkdir(path);
}

// One walk up for every kind of store: ssh_exists and ssh_mkdir pick the store.
bool ssh_mkdir_p(std::wstring const& path) {
  failure_reason = FileInfoResult::no_failure;
  if (ssh_exists(path)) return true;
  // An account that cannot be reached at all has no folder to make.
  if (reach_of(failure_reason) == FailureReach::Place) return false;
  std::size_t const slash = path.rfind(L'/');
  std::size_t const colon = path.find(L':');
  std::size_t const after_colon = colon == std::wstring::npos ? 0 : colon + 1;
  if (slash != std::wstring::npos && slash > after_colon && !ssh_mkdir_p(path.substr(0, slash)))
    return false;
  return ssh_mkdir(path);
}

bool ssh_rename(std::wstring const& from, std::wstring const& to) {
  if (auto const web = web_store::account_of(from)) return web_store::rename(*web, from, to);
  return sftp_backend::ssh_rename(from, to);
}

CopyResult copy_ssh_to_fs(std::wstring const& remote_source, std::wstring const& local_target) {
  if (auto const web = web_store::account_of(remote_source)) {
    return web_store::download(*web, remote_source, local_target);
  }
  return sftp_backend::copy_ssh_to_fs(remote_source, local_target);
}

CopyResult copy_fs_to_ssh(std::wstring const& local_source, std::wstring const& remote_target) {
  if (auto const web = web_store::account_of(remote_target)) {
    return web_store::upload(local_source, *web, remote_target);
  }
  return sftp_backend::copy_fs_to_ssh(local_source, remote_target);
}

CopyResult copy_ssh_to_ssh(std::wstring const& remote_source, std::wstring const& remote_target) {
  if (web_store::account_of(remote_source) || web_store::account_of(remote_target)) {
    return web_store::copy_through_file(remote_source, remote_target);
  }
  return sftp_backend::copy_ssh_to_ssh(remote_source, remote_target);
}

bool ssh_exists(std::wstring const& path) {
  if (auto const web = web_store::account_of(path)) return web_store::exists(*web, path);
  return sftp_backend::ssh_exists(path);
}

bool ssh_is_directory(std::wstring const& path) {
  return ssh_directory_presence(path) == Presence::Present;
}

Presence ssh_directory_presence(std::wstring const& path) {
  if (auto const web = web_store::account_of(path)) {
    return web_store::directory_presence(*web, path);
  }
  return sftp_backend::ssh_directory_presence(path);
}

bool ssh_read_only_filesystem(std::wstring const& path) {
  std::optional<SshAccount> const account = get_account_from_path(path);
  if (account && is_web_store(*account)) return false;
  return sftp_backend::ssh_read_only_filesystem(path);
}

FileInfoResult ssh_take_failure_reason() {
  FileInfoResult const reason = failure_reason;
  failure_reason = FileInfoResult::no_failure;
  return reason;
}

void ssh_set_failure_reason(FileInfoResult reason) { failure_reason = reason; }

std::pair<std::uint64_t, bool> ssh_room_for(std::wstring const& path, bool old_target_kept) {
  std::optional<SshAccount> const account = get_account_from_path(path);
  if (account && is_web_store(*account)) return {0, false};
  return sftp_backend::ssh_room_for(path, old_target_kept);
}

}  // namespace KVO_Core
