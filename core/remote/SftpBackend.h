// The SFTP side of the remote operations (RemoteOps.h dispatches to them for accounts that are
// not web stores). Same contracts as the dispatching functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/remote/RemoteOps.h"
#include "core/remote/SshSession.h"
#include "core/run/CopyResult.h"

namespace KVO_Core::sftp_backend {

// Connects the empty connection for the path's account and gives the path on the server; none
// after logging why (the thread's failure reason, and *reason_out, then hold the connect's
// reason).
std::optional<std::string> connect_to(std::wstring const& path, SftpConnection& connection,
                                      Utilities::FilesystemUtil::FileInfoResult* reason_out);
// The reason of the connection's last SFTP failure; 0 when it has none.
Utilities::FilesystemUtil::FileInfoResult session_reason(SftpConnection const& connection);
// After a failed SFTP call: leaves the session's reason for the thread and lets go of a session
// that answered with no SFTP status at all (dropped or hung), so that the next call reconnects.
void note_failure(SftpConnection& connection);

// The parent folder of a server path: "/" for a top-level one, the path itself without a slash.
std::string parent_of(std::string const& path);

// The Error line of a rename on the server that failed.
void log_rename_failure(std::string const& from, std::string const& to);

// A stop request or this many entries cut a listing short.
inline constexpr std::size_t max_listing_entries = 1'000'000;

bool ssh_exists(std::wstring const& path);
Presence ssh_directory_presence(std::wstring const& path);
bool ssh_list_dir(std::wstring const& path, std::vector<SshDirEntry>& entries);
std::optional<SshLinkInfo> ssh_link_info(std::wstring const& path);
std::optional<std::wstring> ssh_real_path(std::wstring const& path);
bool remote_read_only(SftpConnection const& connection, std::string path);
bool ssh_read_only_filesystem(std::wstring const& path);
std::pair<std::uint64_t, bool> ssh_room_for(std::wstring const& path, bool old_target_kept);
CopyResult copy_ssh_to_fs(std::wstring const& remote, std::wstring const& local);
CopyResult copy_fs_to_ssh(std::wstring const& local, std::wstring const& remote);
CopyResult copy_ssh_to_ssh(std::wstring const& from, std::wstring const& to);

bool ssh_mkdir(std::wstring const& path);
Utilities::FilesystemUtil::FileInfoResult ssh_remove_refusal(std::wstring const& path);
Utilities::FilesystemUtil::FileInfoResult ssh_rmdir_refusal(std::wstring const& path);
// Never replaces an existing destination: that fails with file_conflict as the thread's reason,
// so the caller can take the next free name.
bool ssh_rename(std::wstring const& from, std::wstring const& to);
Utilities::FilesystemUtil::FileInfoResult ssh_create_link(std::wstring const& link_text,
                                                          std::wstring const& path);

}  // namespace KVO_Core::sftp_backend
