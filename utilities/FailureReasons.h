// The one classification of failed file and remote operations, its texts, and the local file
// operations that report their outcome as such a reason (0 meaning done or allowed).
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/FileDescriptor.h"
#include "utilities/Logging.h"

struct stat;

namespace Utilities::FilesystemUtil {

// 1..36 each have a message id equal to the enumerator's name; 37 is the unclassified failure
// (text of "unknown_error"). Plain int enumeration: compare with 0 freely.
enum FileInfoResult : int {
  no_failure = 0,
  file_not_exist = 1,
  directory_not_exist = 2,
  drive_not_mounted = 3,
  file_attributes_unreadable = 4,
  file_attributes_not_settable = 5,
  permission_denied = 6,
  file_locked = 7,
  file_time_invalid = 8,
  file_info_read_error = 9,
  file_info_write_error = 10,
  directory_not_creatable = 11,
  disk_full = 12,
  filesystem_read_only = 13,
  links_not_supported = 14,
  server_connect_failed = 15,
  invalid_file_type = 16,
  symbolic_link_error = 17,
  recycle_bin_full = 18,
  network_unavailable = 19,
  connection_lost = 20,
  connection_timeout = 21,
  server_unavailable = 22,
  authentication_failed = 23,
  access_token_expired = 24,
  remote_storage_full = 25,
  source_file_changed = 26,
  target_file_changed = 27,
  file_conflict = 28,
  file_size_mismatch = 29,
  checksum_mismatch = 30,
  unsupported_operation = 31,
  server_not_trusted = 32,
  file_name_invalid = 33,
  path_too_long = 34,
  file_too_large = 35,
  device_error = 36,
  unknown_error = 37,
};

// Texts. Never fail: anything without a message id of its own gives "unknown_error"'s text.
// The translated text of the reason's message id (1..36), else of "unknown_error".
std::wstring make_error_message(FileInfoResult reason);
// The text of reason_for_failure(ec); for the generic reason 9 the system's own message of the
// code instead ("unknown_error" for a code of value 0).
std::wstring failure_text(std::error_code const& ec);

// Classification. Codes of the system and of the generic category match alike.
// The first of ETXTBSY/EBUSY 7, EROFS 13, EDQUOT/ENOSPC 12, EILSEQ 33, ENAMETOOLONG 34, EFBIG 35,
// EIO 36, EACCES 6, ENOTSUP/EOPNOTSUPP/ENOSYS 31, ENOENT 1; anything else (value 0 too) 9.
// Never gives 0, 10 or 11.
FileInfoResult reason_for_failure(std::error_code const& ec);
// reason_for_failure with 9 given as 10: for operations that wrote, created, renamed or removed.
FileInfoResult reason_for_write_failure(std::error_code const& ec);
// As reason_for_write_failure, except that EINVAL for a last element that cannot be a file name
// (empty, a control character or one of < > : " \ | ? *, or ending in a dot or a blank) is 33.
FileInfoResult reason_for_create_failure(std::error_code const& ec,
                                         std::filesystem::path const& created);
// The calling thread's errno as a generic error code; call right after the failed call.
std::error_code last_stream_error();
// One Error line with the exception's text, both paths (quoted) and its code's value, message
// and category.
void handle_last_error(std::filesystem::filesystem_error const& e);

// Refusal operations on local paths (wide paths as UTF-8). None throws for its own failure.
// Creates the directory and its missing parents: 0 when a directory stands there afterwards.
// Otherwise ec holds the error (ENOTDIR when something else stands there) and the result is
// 6, 7, 12, 13, 33, 34 or 36 as classified, or 11 for every other reason.
FileInfoResult create_directory_refusal(std::filesystem::path const& path, std::error_code& ec);
// Opens the file for reading and closes it: 0 when it could be opened. Never blocks: a FIFO,
// socket or device gives 16 instead of being opened for real.
FileInfoResult read_refusal(std::wstring const& path);
// The same check that keeps the file open when it passes: `opened` and `status` (its fstat) are
// set only when the result is 0.
FileInfoResult read_refusal(std::wstring const& path, platform::FileDescriptor& opened,
                            struct stat& status);
// Renames, replacing an existing target file; logs "rename_file" at Info and a failure at Error.
FileInfoResult rename_refusal(std::wstring const& from, std::wstring const& to);
bool rename_file(std::wstring const& from, std::wstring const& to);  // rename_refusal == 0
// Removes one file, link or empty directory, without logging: 0 when removed, 1 when nothing was
// there, else the write reason.
FileInfoResult remove_refusal(std::wstring const& path);
// True when something was removed; false when nothing was there (silently) or on failure, which
// is logged at `level` (None: silent).
bool remove_file(std::wstring const& path, LogLevel level);
// Sets the last write time (following a link): 0 when done, else the write reason.
FileInfoResult write_time_refusal(std::wstring const& path,
                                  std::filesystem::file_time_type const& time);
// As write_time_refusal; true when done, failures logged at `level` like remove_file's.
bool set_last_write_time(std::wstring const& path, std::filesystem::file_time_type const& time,
                         LogLevel level);
// Replaces the permission bits (following a link): 0 when done or when the file system has no
// permissions (ENOTSUP, EOPNOTSUPP, ENOSYS); 5 for the generic reason 9 (EPERM among others);
// else the reason as classified.
FileInfoResult permissions_refusal(std::wstring const& path, std::filesystem::perms perms);
// Both on an open file: the same results, without looking the path up again.
FileInfoResult write_time_refusal(int fd, std::filesystem::file_time_type const& time);
FileInfoResult permissions_refusal(int fd, std::filesystem::perms perms);

}  // namespace Utilities::FilesystemUtil
