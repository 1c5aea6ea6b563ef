// The web-store branch of the remote operations: each runs one web-store operation inside a
// guard that logs its exception ("WebDAV: <path>: <text>") and turns it into the thread's
// failure reason, so that, like the SFTP branch, none of them throws.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/config/Accounts.h"
#include "core/remote/RemoteOps.h"

namespace KVO_Core::web_store {

// The path's account when a web store serves it; none for SFTP and unknown accounts.
std::optional<SshAccount> account_of(std::wstring const& path);

// False after a failed listing: one report refusal with the reason, which is also left as the
// thread's failure reason (9 when the store named none).
// Names that are not UTF-8 are left out with a report hint.
bool list_dir(SshAccount const& account, std::wstring const& path,
              std::vector<SshDirEntry>& entries);
Presence directory_presence(SshAccount const& account, std::wstring const& path);
bool exists(SshAccount const& account, std::wstring const& path);
bool mkdir(SshAccount const& account, std::wstring const& path);
Utilities::FilesystemUtil::FileInfoResult remove_refusal(SshAccount const& account,
                                                         std::wstring const& path);
// Removes the folder only when it is empty (a store's own removal takes what lies inside too):
// file_conflict for one that is not.
Utilities::FilesystemUtil::FileInfoResult rmdir_refusal(SshAccount const& account,
                                                        std::wstring const& path);
bool rename(SshAccount const& account, std::wstring const& from, std::wstring const& to);
CopyResult download(SshAccount const& account, std::wstring const& remote,
                    std::wstring const& local);
CopyResult upload(std::wstring const& local, SshAccount const& account, std::wstring const& remote);
// Existence, size and time of one file, asked of the store directly: its exceptions pass.
SshFileInfo inspect_file(SshAccount const& account, std::string const& path);
// A copy between two remote sides of which at least one is a web store, through a local
// transfer file that is removed whatever the outcome.
CopyResult copy_through_file(std::wstring const& from, std::wstring const& to);

}  // namespace KVO_Core::web_store
