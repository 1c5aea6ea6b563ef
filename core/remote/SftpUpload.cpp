#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

#include "core/config/RemotePaths.h"
#include "core/remote/SftpBackend.h"
#include "core/remote/SftpPipeline.h"
#include "core/run/RunContext.h"
#include "core/run/SyncReport.h"
#include "core/run/TransferLimit.h"
#include "platform/FileDescriptor.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core::sftp_backend {

using Utilities::LogLevel;
using Utilities::FilesystemUtil::FileInfoResult;
using Utilities::translation::translate;
using Utilities::util::string_to_wstring;

namespace {

// Where an upload is written until it is complete; the engine never takes such names for
// entries of its own.
constexpr char staging_suffix[] = ".kvo-part";

struct Pumped {
  CopyResult result = CopyResult::Failed;
  bool target_failed = false;
};

bool remote_full(SftpConnection const& connection, std::string const& path) {
  if (!connection.connected()) return false;
  SftpStatvfsHandle const st(sftp_statvfs(connection.sftp(), parent_of(path).c_str()));
  return st && st->f_blocks != 0 && st->f_bavail * st->f_frsize < chunk_size;
}

// After a failed transfer: the session's reason, or 25 when the target has no room left. The
// writes still owed, if any, are taken between the two.
void note_transfer_failure(SftpConnection& connection, std::string const& written,
                           WritePipeline* pipeline = nullptr) {
  note_failure(connection);
  if (pipeline) pipeline->settle();
  if (remote_full(connection, written)) ssh_set_failure_reason(FileInfoResult::remote_storage_full);
}

// Sends what `read` gives (bytes into the buffer, 0 at the end, negative on an error) to the
// open target `written`, one chunk at a time, with progress, pacing and a stop check per chunk.
template <class Read>
Pumped pump(SftpConnection& target, std::string const& written, sftp_file file, Read&& read,
            char const* read_error, char const* write_error) {
  WritePipeline pipeline(target, file);
  std::vector<char> buffer(chunk_size);
  std::uint64_t total = 0;
  for (;;) {
    target.begin_request();
    ssize_t const n = read(buffer);
    if (n < 0) {
      Utilities::log_at(LogLevel::Error, translate(read_error));
      return {CopyResult::Failed, false};
    }
    if (n == 0) {
      if (pipeline.drain_all()) return {CopyResult::Done, false};
      Utilities::log_at(LogLevel::Error, translate(write_error));
      note_transfer_failure(target, written, &pipeline);
      return {CopyResult::Failed, true};
    }
    if (RunContext::stopping()) return {CopyResult::Cancelled, false};
    if (!pipeline.write(std::vector<char>(buffer.begin(), buffer.begin() + n))) {
      Utilities::log_at(LogLevel::Error, translate(write_error));
      note_transfer_failure(target, written, &pipeline);
      return {CopyResult::Failed, true};
    }
    total += static_cast<std::uint64_t>(n);
    RunContext::report_copied_bytes(total);
    transfer_limit::pace(total);
  }
}

// A new staging file, made exclusively so that nothing is written through a link planted
// there. Whatever an earlier, broken transfer left under the name is removed only when the name
// is taken, which saves a round trip per file otherwise.
SftpFileHandle open_staging(SftpConnection& connection, std::string const& path,
                            std::uint16_t mode) {
  int const flags = O_WRONLY | O_CREAT | O_TRUNC | O_EXCL;
  SftpFileHandle file = connection.open(path, flags, mode);
  if (!file && !connection.broken()) {
    FileInfoResult const refused = session_reason(connection);
    connection.begin_request();
    if (sftp_unlink(connection.sftp(), path.c_str()) == 0) {
      file = connection.open(path, flags, mode);
    } else if (!connection.broken()) {
      // Nothing was in the way: the open's own refusal is the reason.
      if (refused != 0) ssh_set_failure_reason(refused);
      return file;
    }
  }
  if (!file) note_failure(connection);
  return file;
}

// After a failed request: a server that let it run into the time-out is cut off, so that the
// requests still to come on the transfer (times, rename, removal) fail at once instead of each
// waiting as long again.
int settled(SftpConnection const& connection, int rc) {
  if (rc != 0 && connection.broken()) connection.discard();
  return rc;
}

// Changes attributes of the file itself, never of what a link there points to.
int set_attributes(SftpConnection const& connection, std::string const& path,
                   sftp_attributes_struct& attributes) {
  connection.begin_request();
  if (sftp_extension_supported(connection.sftp(), "lsetstat@openssh.com", "1"))
    return settled(connection, sftp_lsetstat(connection.sftp(), path.c_str(), &attributes));
  return settled(connection, sftp_setstat(connection.sftp(), path.c_str(), &attributes));
}

bool keep_remote_permissions(SftpConnection const& connection, std::string const& path,
                             std::uint32_t permissions) {
  sftp_attributes_struct attributes{};
  attributes.flags = SSH_FILEXFER_ATTR_PERMISSIONS;
  attributes.permissions = (permissions & 0777) | 0200;
  if (set_attributes(connection, path, attributes) == 0) return true;
  Utilities::log_at(LogLevel::Error, translate("file_attributes_change"), string_to_wstring(path),
                    string_to_wstring(connection.error()));
  return false;
}

// The protocol carries unsigned 32-bit seconds: earlier and later times are clamped.
std::uint32_t sftp_seconds(std::int64_t seconds) {
  return static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(seconds, 0, std::numeric_limits<std::uint32_t>::max()));
}

bool keep_remote_time(SftpConnection const& connection, std::string const& path,
                      std::int64_t seconds) {
  sftp_attributes_struct attributes{};
  attributes.flags = SSH_FILEXFER_ATTR_ACMODTIME;
  attributes.atime = attributes.mtime = sftp_seconds(seconds);
  if (set_attributes(connection, path, attributes) == 0) return true;
  Utilities::log_at(LogLevel::Error, translate("file_time_not_settable"), string_to_wstring(path));
  return false;
}

struct Kept {
  bool time = true;
  bool permissions = true;
};

// Rights and time in one request; only when that is refused, each on its own, to tell which of
// them the server will not take.
Kept keep_remote_attributes(SftpConnection const& connection, std::string const& path,
                            std::uint32_t permissions, std::int64_t seconds) {
  sftp_attributes_struct attributes{};
  attributes.flags = SSH_FILEXFER_ATTR_PERMISSIONS | SSH_FILEXFER_ATTR_ACMODTIME;
  attributes.permissions = (permissions & 0777) | 0200;
  attributes.atime = attributes.mtime = sftp_seconds(seconds);
  if (set_attributes(connection, path, attributes) == 0) return {};
  Kept kept;
  kept.permissions = keep_remote_permissions(connection, path, permissions);
  kept.time = keep_remote_time(connection, path, seconds);
  return kept;
}

// A free name for the old target while the new one takes its place.
std::optional<std::string> aside_name(SftpConnection const& connection, std::string const& path) {
  for (int i = 0; i < 100; ++i) {
    std::string const name = path + ".old" + std::to_string(i) + staging_suffix;
    connection.begin_request();
    SftpAttributesHandle const there(sftp_lstat(connection.sftp(), name.c_str()));
    if (!there && sftp_get_error(connection.sftp()) == SSH_FX_NO_SUCH_FILE) return name;
    if (!there) return std::nullopt;
  }
  return std::nullopt;
}

// Puts a complete staging file in place; any other result removes it. The final name is never
// left empty: a server with posix-rename replaces in one step; elsewhere the old file is moved
// aside first and moved back when the new one cannot take its name.
CopyResult publish_part(SftpConnection& connection, std::wstring const& remote,
                        std::string const& part, std::string const& final_path, CopyResult result) {
  sftp_session const sftp = connection.sftp();
  auto const drop_part = [&] {
    if (connection.connected() && !connection.broken()) {
      connection.begin_request();
      sftp_unlink(sftp, part.c_str());
      return;
    }
    // A dropped session: a new one clears the staging file if the server is back, and the
    // reason of the failure stays the one that ended the transfer. Not after a stop request:
    // a server that hangs would hold the stop for a whole connect time-out; the next upload of
    // the file clears its staging file anyway.
    if (RunContext::stopping()) return;
    FileInfoResult const reason = ssh_take_failure_reason();
    SftpConnection fresh;
    if (connect_to(remote, fresh, nullptr)) {
      fresh.begin_request();
      sftp_unlink(fresh.sftp(), part.c_str());
    }
    ssh_set_failure_reason(reason);
  };
  if (result != CopyResult::Done) {
    drop_part();
    return result;
  }
  connection.begin_request();
  if (settled(connection, sftp_rename(sftp, part.c_str(), final_path.c_str())) == 0)
    return CopyResult::Done;
  bool const replaces = sftp_extension_supported(sftp, "posix-rename@openssh.com", "1");
  connection.begin_request();
  SftpAttributesHandle const old(replaces ? nullptr : sftp_lstat(sftp, final_path.c_str()));
  std::optional<std::string> const aside = old && old->type != SSH_FILEXFER_TYPE_DIRECTORY
                                               ? aside_name(connection, final_path)
                                               : std::nullopt;
  bool published = false;
  if (aside) {
    connection.begin_request();
    if (sftp_rename(sftp, final_path.c_str(), aside->c_str()) == 0) {
      connection.begin_request();
      published = sftp_rename(sftp, part.c_str(), final_path.c_str()) == 0;
      connection.begin_request();
      if (published)
        sftp_unlink(sftp, aside->c_str());
      else if (sftp_rename(sftp, aside->c_str(), final_path.c_str()) != 0)
        log_rename_failure(*aside, final_path);
    }
  }
  if (published) return CopyResult::Done;
  note_failure(connection);
  drop_part();
  log_rename_failure(part, final_path);
  return CopyResult::Failed;
}

void report_unkept(std::wstring const& path, bool time_kept, bool permissions_kept) {
  if (!time_kept) report_sync_error(translate("file_time_not_settable") + path);
  if (!permissions_kept)
    report_sync_error(Utilities::FilesystemUtil::make_error_message(
                          FileInfoResult::file_attributes_not_settable) +
                      L": " + path);
}

// Closes the staging file; a write the server deferred or a quota it enforces may fail only
// here, and then nothing is published.
CopyResult close_target(SftpConnection& connection, SftpFileHandle file, std::string const& path,
                        CopyResult result, char const* write_error) {
  connection.begin_request();
  int const closed = settled(connection, sftp_close(file.release()));
  if (closed == 0 || result != CopyResult::Done) return result;
  Utilities::log_at(LogLevel::Error, translate(write_error), string_to_wstring(path));
  note_transfer_failure(connection, path);
  return CopyResult::Failed;
}

// Reads and writes in flight both ways on one channel stall each other's flow control until the
// time-out: a copy within one account writes through a session of its own.
bool own_session(SftpConnection& target, std::wstring const& to) {
  std::optional<SshAccount> const account = get_account_from_path(to);
  if (!account) return false;
  try {
    SftpConnection own;
    own.open_session(*account);
    target = std::move(own);
    return true;
  } catch (RemoteFailure const& e) {
    Utilities::log_at(LogLevel::Error, L"SSH: " + string_to_wstring(e.what()));
    if (e.reason != 0) ssh_set_failure_reason(e.reason);
  } catch (std::exception const& e) {
    Utilities::log_at(LogLevel::Error, L"SSH: " + string_to_wstring(e.what()));
  }
  return false;
}

}  // namespace

CopyResult copy_fs_to_ssh(std::wstring const& local, std::wstring const& remote) {
  Utilities::log_at(LogLevel::Debug, L"copy_fs_to_ssh: " + local + L" -> " + remote);
  platform::FileDescriptor const in(
      ::open(Utilities::to_path(local).c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) {
    Utilities::log_at(LogLevel::Error, translate("local_file_open_error"), local);
    return CopyResult::Failed;
  }
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(remote, connection, nullptr);
  if (!p) return CopyResult::Failed;
  std::string const w = *p + staging_suffix;
  SftpFileHandle file = open_staging(connection, w, 0600);
  if (!file) {
    Utilities::log_at(LogLevel::Error,
                      translate("remote_file_open_write_error") + string_to_wstring(w));
    return CopyResult::Failed;
  }

  auto const read_local = [&](std::vector<char>& buffer) -> ssize_t {
    for (;;) {
      ssize_t const n = ::read(in.get(), buffer.data(), buffer.size());
      if (n >= 0 || errno != EINTR) return n;
    }
  };
  Pumped const pumped = pump(connection, w, file.get(), read_local, "local_file_read_error",
                             "remote_file_write_error");
  CopyResult result =
      close_target(connection, std::move(file), w, pumped.result, "remote_file_write_error");

  Kept kept;
  if (result == CopyResult::Done) {
    struct stat st {};
    if (::fstat(in.get(), &st) == 0)
      kept = keep_remote_attributes(connection, w, st.st_mode & 0777, st.st_mtim.tv_sec);
    else
      kept.time = false;
  }
  result = publish_part(connection, remote, w, *p, result);
  if (result == CopyResult::Done) report_unkept(remote, kept.time, kept.permissions);
  return result;
}

CopyResult copy_ssh_to_ssh(std::wstring const& from, std::wstring const& to) {
  Utilities::log_at(LogLevel::Debug, L"copy_ssh_to_ssh: " + from + L" -> " + to);
  SftpConnection source;
  std::optional<std::string> const p = connect_to(from, source, nullptr);
  if (!p) return CopyResult::Failed;
  SftpConnection target;
  std::optional<std::string> const q = connect_to(to, target, nullptr);
  if (!q) return CopyResult::Failed;
  if (source.sftp() == target.sftp() && !own_session(target, to)) return CopyResult::Failed;
  SftpFileHandle const in = source.open(*p, O_RDONLY, 0);
  if (!in) {
    Utilities::log_at(LogLevel::Error, translate("source_file_open_error") + string_to_wstring(*p));
    note_failure(source);
    return CopyResult::Failed;
  }
  SftpAttributesHandle const attrs = source.stat(*p);
  std::string const w = *q + staging_suffix;
  SftpFileHandle file = open_staging(target, w, 0644);
  if (!file) {
    Utilities::log_at(LogLevel::Error, translate("target_file_open_error") + string_to_wstring(w));
    return CopyResult::Failed;
  }

  Pumped pumped;
  {
    std::optional<std::uint64_t> listed_size;
    if (attrs && (attrs->flags & SSH_FILEXFER_ATTR_SIZE)) listed_size = attrs->size;
    ReadPipeline reader(source, in.get(), listed_size);
    auto const read_remote = [&](std::vector<char>& buffer) {
      source.begin_request();
      return reader.next(buffer);
    };
    pumped = pump(target, w, file.get(), read_remote, "source_file_read_error",
                  "target_file_write_error");
    // The target's reason, noted already, wins over the source's; the source's is taken before
    // the reader takes the replies still owed, which would overwrite it.
    if (pumped.result == CopyResult::Failed && !pumped.target_failed) note_failure(source);
  }
  CopyResult result =
      close_target(target, std::move(file), w, pumped.result, "target_file_write_error");

  Kept kept;
  if (result == CopyResult::Done && attrs)
    kept = keep_remote_attributes(target, w, attrs->permissions, attrs->mtime);
  result = publish_part(target, to, w, *q, result);
  if (result == CopyResult::Done) report_unkept(to, kept.time, kept.permissions);
  return result;
}

}  // namespace KVO_Core::sftp_backend
