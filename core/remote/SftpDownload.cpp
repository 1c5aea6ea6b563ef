#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "core/remote/SftpBackend.h"
#include "core/remote/SftpPipeline.h"
#include "core/run/RunContext.h"
#include "core/run/TransferLimit.h"
#include "platform/FileDescriptor.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core::sftp_backend {

using Utilities::LogLevel;
using Utilities::translation::translate;

CopyResult copy_ssh_to_fs(std::wstring const& remote, std::wstring const& local) {
  Utilities::log_at(LogLevel::Debug, L"copy_ssh_to_fs: " + remote + L" -> " + local);
  SftpConnection connection;
  std::optional<std::string> const p = connect_to(remote, connection, nullptr);
  if (!p) return CopyResult::Failed;
  SftpFileHandle const file = connection.open(*p, O_RDONLY, 0);
  if (!file) {
    Utilities::log_at(LogLevel::Error,
                      translate("remote_file_open_error") + Utilities::util::string_to_wstring(*p));
    note_failure(connection);
    return CopyResult::Failed;
  }
  SftpAttributesHandle const attrs = connection.stat(*p);

  // The engine's staging file: made here and nowhere else, so never through a link.
  std::filesystem::path const target = Utilities::to_path(local);
  platform::FileDescriptor out(
      ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out) {
    Utilities::log_at(LogLevel::Error, translate("local_file_open_error"), local);
    return CopyResult::Failed;
  }

  CopyResult result = CopyResult::Done;
  {
    std::optional<std::uint64_t> listed_size;
    if (attrs && (attrs->flags & SSH_FILEXFER_ATTR_SIZE)) listed_size = attrs->size;
    ReadPipeline pipeline(connection, file.get(), listed_size);
    std::vector<char> buffer(chunk_size);
    std::uint64_t total = 0;
    for (;;) {
      connection.begin_request();
      ssize_t const n = pipeline.next(buffer);
      if (n < 0) {
        Utilities::log_at(LogLevel::Error, translate("remote_file_read_error"));
        result = CopyResult::Failed;
        // Before the pipeline takes the replies still owed, which would overwrite the reason.
        note_failure(connection);
        break;
      }
      if (n == 0) break;
      if (RunContext::stopping()) {
        result = CopyResult::Cancelled;
        break;
      }
      char const* data = buffer.data();
      ssize_t left = n;
      while (left > 0) {
        ssize_t const written = ::write(out.get(), data, static_cast<std::size_t>(left));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        data += written;
        left -= written;
      }
      if (left > 0) {
        Utilities::log_at(LogLevel::Error, translate("local_file_write_error"));
        result = CopyResult::Failed;
        break;
      }
      total += static_cast<std::uint64_t>(n);
      RunContext::report_copied_bytes(total);
      transfer_limit::pace(total);
    }
  }
  if (result == CopyResult::Done && attrs) {
    if (::fchmod(out.get(), attrs->permissions & 0777) != 0)
      Utilities::log_at(LogLevel::Error, translate("file_attributes_change"), local,
                        Utilities::util::string_to_wstring(std::strerror(errno)));
    timespec const times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(attrs->mtime), 0}};
    if (::futimens(out.get(), times) != 0)
      Utilities::log_at(LogLevel::Error, translate("file_time_not_settable"), local,
                        Utilities::util::string_to_wstring(std::strerror(errno)));
  }
  if (int const error = out.close(); error != 0 && result == CopyResult::Done) {
    Utilities::log_at(LogLevel::Error, translate("local_file_write_error"), local,
                      Utilities::util::string_to_wstring(std::strerror(error)));
    result = CopyResult::Failed;
  }
  // An incomplete copy is of no use to anyone: the file made here goes.
  if (result != CopyResult::Done) ::unlink(target.c_str());
  return result;
}

}  // namespace KVO_Core::sftp_backend
