#include "utilities/FailureReasons.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <sstream>

#include "platform/FileDescriptor.h"
#include "utilities/FileTime.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace Utilities::FilesystemUtil {

namespace {

// Indexed by reason; the message id of each is the enumerator's name.
constexpr char const* MESSAGE_IDS[] = {
    nullptr,
    "file_not_exist",
    "directory_not_exist",
    "drive_not_mounted",
    "file_attributes_unreadable",
    "file_attributes_not_settable",
    "permission_denied",
    "file_locked",
    "file_time_invalid",
    "file_info_read_error",
    "file_info_write_error",
    "directory_not_creatable",
    "disk_full",
    "filesystem_read_only",
    "links_not_supported",
    "server_connect_failed",
    "invalid_file_type",
    "symbolic_link_error",
    "recycle_bin_full",
    "network_unavailable",
    "connection_lost",
    "connection_timeout",
    "server_unavailable",
    "authentication_failed",
    "access_token_expired",
    "remote_storage_full",
    "source_file_changed",
    "target_file_changed",
    "file_conflict",
    "file_size_mismatch",
    "checksum_mismatch",
    "unsupported_operation",
    "server_not_trusted",
    "file_name_invalid",
    "path_too_long",
    "file_too_large",
    "device_error",
};

// A code of the system category does not always compare equal to a generic condition that the
// standard has no name for (EDQUOT): match the errno value of both categories directly as well.
bool is_errno(std::error_code const& ec, int value) {
  if (ec == std::error_condition(value, std::generic_category())) return true;
  return ec.value() == value &&
         (ec.category() == std::system_category() || ec.category() == std::generic_category());
}

struct Row {
  int error;
  FileInfoResult reason;
};

// Order matters where a code could match two rows.
constexpr Row FAILURE_TABLE[] = {
    {ETXTBSY, file_locked},
    {EBUSY, file_locked},
    {EROFS, filesystem_read_only},
    {EDQUOT, disk_full},
    {ENOSPC, disk_full},
    {EILSEQ, file_name_invalid},
    {ENAMETOOLONG, path_too_long},
    {EFBIG, file_too_large},
    {EIO, device_error},
    {EACCES, permission_denied},
    {ENOTSUP, unsupported_operation},
    {EOPNOTSUPP, unsupported_operation},
    {ENOSYS, unsupported_operation},
    {ENOENT, file_not_exist},
};

bool invalid_file_name(std::wstring const& name) {
  if (name.empty()) return true;
  for (wchar_t c : name)
    if (c < 32 || std::wstring_view(L"<>:\"\\|?*").find(c) != std::wstring_view::npos) return true;
  return name.back() == L'.' || name.back() == L' ';
}

// The last element that names something: "a/b/" names b.
std::filesystem::path last_element(std::filesystem::path const& p) {
  if (p.has_filename() || !p.has_relative_path()) return p.filename();
  return p.parent_path().filename();
}

bool missing(std::error_code const& ec) { return is_errno(ec, ENOENT) || is_errno(ec, ENOTDIR); }

}  // namespace

std::wstring make_error_message(FileInfoResult reason) {
  if (reason >= file_not_exist && reason <= device_error)
    return translation::translate(MESSAGE_IDS[reason]);
  return translation::translate("unknown_error");
}

std::wstring failure_text(std::error_code const& ec) {
  FileInfoResult const reason = reason_for_failure(ec);
  if (reason != file_info_read_error) return make_error_message(reason);
  if (ec.value() == 0) return translation::translate("unknown_error");
  return util::string_to_wstring(ec.message());
}

FileInfoResult reason_for_failure(std::error_code const& ec) {
  for (auto const& row : FAILURE_TABLE)
    if (is_errno(ec, row.error)) return row.reason;
  return file_info_read_error;
}

FileInfoResult reason_for_write_failure(std::error_code const& ec) {
  FileInfoResult const reason = reason_for_failure(ec);
  return reason == file_info_read_error ? file_info_write_error : reason;
}

FileInfoResult reason_for_create_failure(std::error_code const& ec,
                                         std::filesystem::path const& created) {
  if (is_errno(ec, EINVAL) && invalid_file_name(from_path(last_element(created))))
    return file_name_invalid;
  return reason_for_write_failure(ec);
}

std::error_code last_stream_error() { return std::error_code(errno, std::generic_category()); }

void handle_last_error(std::filesystem::filesystem_error const& e) {
  std::ostringstream line;
  // A path streams as a quoted string, backslash escaping.
  line << "what():  " << e.what() << ' ' << "path1(): " << e.path1() << ' '
       << "path2(): " << e.path2() << ' ' << "code().value():    " << e.code().value() << ' '
       << "code().message():  " << e.code().message() << ' '
       << "code().category(): " << e.code().category().name() << ' ';
  log_at(LogLevel::Error, line.str());
}

FileInfoResult create_directory_refusal(std::filesystem::path const& path, std::error_code& ec) {
  ec.clear();
  // Most folders asked for exist already: one call answers that.
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) return no_failure;
  std::filesystem::create_directories(path, ec);
  if (!ec) {
    std::error_code status_ec;
    auto const status = std::filesystem::status(path, status_ec);
    if (!status_ec && std::filesystem::is_directory(status)) return no_failure;
    if (!status_ec)
      ec = std::make_error_code(std::errc::not_a_directory);
    else
      ec = status_ec;
  }
  FileInfoResult const reason = reason_for_create_failure(ec, path);
  switch (reason) {
    case permission_denied:
    case file_locked:
    case disk_full:
    case filesystem_read_only:
    case file_name_invalid:
    case path_too_long:
    case device_error:
      return reason;
    default:
      return directory_not_creatable;
  }
}

FileInfoResult read_refusal(std::wstring const& path) {
  platform::FileDescriptor fd;
  struct stat st {};
  return read_refusal(path, fd, st);
}

FileInfoResult read_refusal(std::wstring const& path, platform::FileDescriptor& opened,
                            struct stat& status) {
  // Non-blocking, so that a FIFO without a writer cannot hold the caller.
  platform::FileDescriptor fd(
      ::open(to_path(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return reason_for_failure(last_stream_error());
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return reason_for_failure(last_stream_error());
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return invalid_file_type;
  opened = std::move(fd);
  status = st;
  return no_failure;
}

FileInfoResult rename_refusal(std::wstring const& from, std::wstring const& to) {
  log_at(LogLevel::Info, L"rename_file", from, to);
  std::error_code ec;
  std::filesystem::rename(to_path(from), to_path(to), ec);
  if (!ec) return no_failure;
  log_at(LogLevel::Error, translation::translate("file_rename_error") + from + L" -> " + to +
                              L": " + util::string_to_wstring(ec.message()));
  return reason_for_write_failure(ec);
}

bool rename_file(std::wstring const& from, std::wstring const& to) {
  return rename_refusal(from, to) == no_failure;
}

FileInfoResult remove_refusal(std::wstring const& path) {
  std::error_code ec;
  if (std::filesystem::remove(to_path(path), ec)) return no_failure;
  if (!ec || missing(ec)) return file_not_exist;
  return reason_for_write_failure(ec);
}

bool remove_file(std::wstring const& path, LogLevel level) {
  try {
    std::error_code ec;
    if (std::filesystem::remove(to_path(path), ec)) return true;
    if (!ec || missing(ec)) return false;
    throw std::filesystem::filesystem_error("cannot remove", to_path(path), ec);
  } catch (std::filesystem::filesystem_error const& e) {
    if (level != LogLevel::None) log_at(level, "Error removing file: ", e.what());
  } catch (...) {
    log_at(LogLevel::Error, L"remove_file: ", path, translation::translate("unknown_error"));
  }
  return false;
}

FileInfoResult write_time_refusal(std::wstring const& path,
                                  std::filesystem::file_time_type const& time) {
  std::error_code ec;
  std::filesystem::last_write_time(to_path(path), time, ec);
  return ec ? reason_for_write_failure(ec) : no_failure;
}

bool set_last_write_time(std::wstring const& path, std::filesystem::file_time_type const& time,
                         LogLevel level) {
  try {
    std::filesystem::last_write_time(to_path(path), time);
    return true;
  } catch (std::filesystem::filesystem_error const& e) {
    if (level != LogLevel::None) log_at(level, "Error setting last write time: ", e.what());
  } catch (...) {
    log_at(LogLevel::Error, L"set_last_write_time: ", path,
           translation::translate("unknown_error"));
  }
  return false;
}

namespace {

FileInfoResult permissions_reason(std::error_code const& ec) {
  if (!ec) return no_failure;
  FileInfoResult const reason = reason_for_failure(ec);
  if (reason == unsupported_operation) return no_failure;
  if (reason == file_info_read_error) return file_attributes_not_settable;
  return reason;
}

}  // namespace

FileInfoResult permissions_refusal(std::wstring const& path, std::filesystem::perms perms) {
  std::error_code ec;
  std::filesystem::permissions(to_path(path), perms, std::filesystem::perm_options::replace, ec);
  return permissions_reason(ec);
}

FileInfoResult permissions_refusal(int fd, std::filesystem::perms perms) {
  if (::fchmod(fd, static_cast<mode_t>(perms) & 07777) == 0) return no_failure;
  return permissions_reason(last_stream_error());
}

FileInfoResult write_time_refusal(int fd, std::filesystem::file_time_type const& time) {
  // The access time stays as it is, as when the time is set by name.
  struct timespec const times[2] = {{0, UTIME_OMIT}, file_time::to_timespec(time)};
  if (::futimens(fd, times) == 0) return no_failure;
  return reason_for_write_failure(last_stream_error());
}

}  // namespace Utilities::FilesystemUtil
