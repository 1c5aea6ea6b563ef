// Operations on remote paths (an account name, a colon and the path on that account), for SFTP
// and web-store accounts alike. None throws for a failed remote operation (only the inspector
// does, as said below): failures give false, none, an empty list, a non-zero reason or
// CopyResult::Failed, and leave their reason in the thread's failure reason.
//
// Accounts that a web store serves (core/cloud/CloudStore.h) go to that store; the others to
// SFTP.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/config/Accounts.h"
#include "core/run/CopyResult.h"
#include "core/run/RemoteFailure.h"
#include "utilities/FailureReasons.h"
#include "utilities/Util.h"

namespace KVO_Core {

class SftpConnection;

// One entry of a remote listing; a link is only is_link; other kinds have all three false.
struct SshDirEntry {
  std::wstring name;
  bool is_dir = false;
  bool is_file = false;
  bool is_link = false;
  std::uint64_t size = 0;
};

struct SshLinkInfo {
  bool exists = false;
  bool is_link = false;
  bool is_dir = false;
  bool target_is_dir = false;
  std::wstring target;  // the link text; empty when unreadable or not a link
  bool resolves = false;
};

struct SshFileInfo {
  bool exists = false;
  std::uint64_t size = 0;
  std::string mtime_text;  // ISO text
  std::int64_t mtime = 0;  // whole seconds since the Unix epoch
};

// Entries of a remote directory except "." and "..", in the server's order; on failure the
// entries read so far after one Error line and a report refusal. Never throws. Names that are
// not plain ("", "/" inside) are logged and left out, names that are not UTF-8 left out with a
// report hint.
std::vector<SshDirEntry> ssh_list_dir(std::wstring const& path);
// The same, appending to `entries`; false when the listing failed or was cut short (a stop
// request, too many entries), so that no caller takes what is missing for deleted.
bool ssh_list_dir(std::wstring const& path, std::vector<SshDirEntry>& entries);
// Thrown by the walks when a remote listing failed (already logged and reported by the listing),
// so that nothing below that folder counts as gone.
class RemoteListingFailed : public std::runtime_error {
 public:
  explicit RemoteListingFailed(std::wstring const& path)
      : std::runtime_error(Utilities::util::wstring_to_string(path)) {}
};
// Whether an account is served by a web store rather than SFTP.
bool is_web_store(SshAccount const& account);
// False for a web-store account, true otherwise.
bool ssh_keeps_links(std::wstring const& path);
// What stands at the path (a missing path: every field false); none on any failure.
std::optional<SshLinkInfo> ssh_link_info(std::wstring const& path);
// The server's canonical absolute path (without the account prefix); none on failure.
std::optional<std::wstring> ssh_real_path(std::wstring const& path);
// Makes a symbolic link holding link_text at path: 0 done, else the reason.
Utilities::FilesystemUtil::FileInfoResult ssh_create_link(std::wstring const& link_text,
                                                          std::wstring const& path);
// Deletes one remote file: 0 done, 1 missing, else the reason.
Utilities::FilesystemUtil::FileInfoResult ssh_remove_refusal(std::wstring const& path);
bool ssh_remove_file(std::wstring const& path);
// Removes one (empty) remote directory: 0 done, else the reason.
Utilities::FilesystemUtil::FileInfoResult ssh_rmdir_refusal(std::wstring const& path);
// Makes one directory (an existing one is a failure); false on failure.
bool ssh_mkdir(std::wstring const& path);
bool ssh_rmdir(std::wstring const& path);
// Makes the directory and its missing parents; false on failure (reason left for the caller),
// at once when the server is out of reach.
bool ssh_mkdir_p(std::wstring const& path);
// Renames within one account and never onto an existing name (that leaves file_conflict, so
// the caller can try the next free name); false on failure.
bool ssh_rename(std::wstring const& from, std::wstring const& to);
// Transfers; Failed leaves its reason (never 0 or 10), Cancelled on a stop request. An upload
// is written beside the target as "<target>.kvo-part" and takes the target's name only when
// complete: a failed or stopped one leaves the old target as it was and no staging file.
CopyResult copy_ssh_to_fs(std::wstring const& remote_source, std::wstring const& local_target);
CopyResult copy_fs_to_ssh(std::wstring const& local_source, std::wstring const& remote_target);
CopyResult copy_ssh_to_ssh(std::wstring const& remote_source, std::wstring const& remote_target);
// Whether a file is there; false on failure.
bool ssh_exists(std::wstring const& path);
// Whether the path is a directory; false on failure.
bool ssh_is_directory(std::wstring const& path);
// The same, telling a failure (no connection, a refused request) from an answer.
enum class Presence { Absent, Present, Unknown };
Presence ssh_directory_presence(std::wstring const& path);
// Whether the path's file system is read-only; false when unknown and for web stores.
bool ssh_read_only_filesystem(std::wstring const& path);
// The reason of the calling thread's last failed remote operation (0 when none); resets it.
Utilities::FilesystemUtil::FileInfoResult ssh_take_failure_reason();
// Leaves a reason for ssh_take_failure_reason (0 clears it).
void ssh_set_failure_reason(Utilities::FilesystemUtil::FileInfoResult reason);
// Free room for a write at path {bytes, known}; known false when the server gives none.
std::pair<std::uint64_t, bool> ssh_room_for(std::wstring const& path, bool old_destination_kept);

// Inspects files of one account; for SFTP it holds one pooled connection.
class SshFileInspector {
 public:
  // Connects for an SFTP account: throws SshUnreachable for a server that cannot be reached
  // and RemoteFailure for other connection failures.
  explicit SshFileInspector(SshAccount const& account);
  ~SshFileInspector();
  SshFileInspector(SshFileInspector const&) = delete;
  SshFileInspector& operator=(SshFileInspector const&) = delete;

  // The file at the path after the account prefix (UTF-8): not existing for a missing file;
  // other failures throw (RemoteFailure or std::runtime_error).
  SshFileInfo inspect_file(std::string const& remote_path);

 private:
  std::unique_ptr<SftpConnection> connection_;
  SshAccount account_;
};

// The local time of a Unix time as "%Y-%m-%d %H:%M:%S".
std::string time_to_iso(std::int64_t seconds);

}  // namespace KVO_Core
