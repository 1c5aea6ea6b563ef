// Small operations on local paths shared by the configuration, the engine, the recycle bin and
// the key files: inspecting and comparing files, free room and read-only volumes, mount roots,
// whole text files and private files. Wide paths are taken as UTF-8.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "utilities/FailureReasons.h"

namespace Utilities::FilesystemUtil {

struct ContentComparison {
  bool equal = false;
  FileInfoResult reason = no_failure;  // 0 when both files were read to the end
  std::wstring path;                   // the file that failed to open or read; empty when 0
};

// What the inode of a file said: on a file system that stamps every change with the time (see
// keeps_change_time), equal stamps mean the content is unchanged, as no call can set the change
// time back.
struct ChangeStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;
  bool change_time_kept = false;  // not compared: a fact of the file system, not of the file

  friend bool operator==(ChangeStamp const& a, ChangeStamp const& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.mtime_ns == b.mtime_ns && a.ctime_ns == b.ctime_ns;
  }
};

// Inspecting one file (links followed).
// 0 with size and mtime filled for a regular file. Otherwise the reason, outputs untouched:
// 3 when its volume is not mounted, 1 missing in an existing directory, 6 when the parent cannot
// be examined for lack of rights, 2 when the parent is missing too, 16 for anything but a regular
// file, else the classified error. Never throws.
// stamp (when given) is filled with size and mtime.
FileInfoResult fileinfo(std::wstring const& path, std::uint64_t& size,
                        std::filesystem::file_time_type& mtime, ChangeStamp* stamp = nullptr);
// One lstat: true with size, mtime and stamp filled for a regular file (not a link to one);
// otherwise false, outputs untouched, and `link` tells whether a symbolic link is there.
// Never throws.
bool regular_entry(std::wstring const& path, std::uint64_t& size,
                   std::filesystem::file_time_type& mtime, ChangeStamp& stamp, bool& link);
// The same for the entry `name` (UTF-8) of the open folder `folder_fd`.
bool regular_entry(int folder_fd, char const* name, std::uint64_t& size,
                   std::filesystem::file_time_type& mtime, ChangeStamp& stamp, bool& link);
// The status (links followed) can be read and says something is there. Never throws.
bool file_exists(std::wstring const& path);
// Sets the last write time to now; false after logging the failure at Error.
bool touch(std::wstring const& path);

// Comparing contents. Never blocks on a FIFO and never loops on a read error: a file that is not
// a regular file gives 16, an unreadable one its reason, with that file's path; both unequal.
// The stamps (when given) describe the files as opened, before a byte was read; after an equal
// comparison of two files that both last changed before settled_before_ns (Unix time), they also
// tell whether each file's file system keeps the change time.
ContentComparison compare_content(std::wstring const& a, std::wstring const& b,
                                  ChangeStamp* stamp_a = nullptr, ChangeStamp* stamp_b = nullptr,
                                  std::int64_t settled_before_ns = 0);
bool files_equal(std::wstring const& a, std::wstring const& b);  // unreadable counts as unequal

// Bytes available to an unprivileged user on the path's file system; empty when unknown or the
// capacity is 0.
std::optional<std::uint64_t> free_space(std::filesystem::path const& p);
// The nearest existing ancestor of the path (itself when it exists) is on a read-only mount.
bool read_only_filesystem(std::filesystem::path const& p);

// Mount roots. Relative paths are taken from the current directory.
// The weakly canonical form, or the path unchanged when that fails.
std::filesystem::path normalize_best_effort(std::filesystem::path const& p);
// The mount point of the file system holding the path (or its nearest existing ancestor); empty
// when nothing on the path can be examined.
std::optional<std::filesystem::path> get_mount_root(std::filesystem::path const& p);
// The normalised path when it is itself a mount point (never "/"); empty otherwise.
std::optional<std::filesystem::path> is_mountpoint(std::filesystem::path const& p);

// Whole files.
// The whole file decoded from UTF-8 (malformed bytes as U+FFFD, a byte-order mark kept as
// U+FEFF). Throws std::ios_base::failure "cannot open <path>" when it cannot be opened and
// "cannot read <path>" when reading fails part-way.
std::wstring read_utf8_file(std::filesystem::path const& p);
// The whole file's bytes as they are; throws as read_utf8_file does.
std::string read_file_bytes(std::filesystem::path const& p);
// Writes the text as UTF-8 without byte-order mark, created or truncated, and syncs it to disk
// before returning. Throws std::runtime_error "text not convertible to UTF-8: <path>" and
// std::ios_base::failure when the file cannot be opened, written, synced or closed; a failed
// write removes the file it was writing. Callers replacing a file write "<name>.tmp" with it and
// rename that over the file.
void write_utf8_file(std::filesystem::path const& p, std::wstring const& text);
// Writes the bytes in place, created or truncated with mode 0600 (an existing file is set to
// 0600 too), close-on-exec, in one write call, synced. True only when every step succeeded; a
// failure may leave the file created or truncated.
bool write_private_file(std::filesystem::path const& p, std::string_view bytes);

// Names and environment.
// Usable as one directory entry: not empty, not "." or "..", no '/', '\' or NUL.
bool plain_entry_name(std::string_view name);
// HOME; without it the user's home from the password database; else empty.
std::string home_dir();
// The variable's value when set and not empty.
std::optional<std::string> env_path(char const* name);

// Volume probes (no caller in the daemon).
// Logs "drive_exists() <path>" at Debug, then answers like file_exists.
bool drive_exists(std::wstring const& path);
// Logs at Debug; true when `name` (UTF-8) occurs in the device name or mount point of any mounted
// file system (an empty name: whenever anything is mounted).
bool volume_exists(std::wstring const& path, std::wstring const& name);

}  // namespace Utilities::FilesystemUtil
