#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <vector>

#include "core/run/RunContext.h"
#include "core/remote/SftpBackend.h"
#include "platform/FileDescriptor.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core::sftp_backend {

using Utilities::LogLevel;
using Utilities::translation::translate;

namespace {

constexpr std::size_t chunk_size = 65536;
constexpr std::size_t max_in_flight = 16;

// Up to 16 reads in flight, awaited oldest first so the data arrive in file order. A server may
// answer a read with less than asked; the rest is asked for again before anything later is
// taken, and only the oldest request's empty answer means the end of the file.
class ReadPipeline {
 public:
  explicit ReadPipeline(sftp_file file) : file_(file) {}
  ~ReadPipeline() {
    for (Request& r : pending_) sftp_aio_free(r.aio);
  }
  ReadPipeline(ReadPipeline const&) = delete;
  ReadPipeline& operator=(ReadPipeline const&) = delete;

  // Bytes read into the buffer, 0 at the end of the file, negative on an error.
  ssize_t next(std::vector<char>& buffer) {
    while (!eof_ && pending_.size() < max_in_flight) {
      if (!begin(next_offset_, chunk_size, false)) return -1;
      next_offset_ += chunk_size;
    }
    if (pending_.empty()) return 0;
    Request oldest = pending_.front();
    pending_.pop_front();
    ssize_t const n =
        sftp_aio_wait_read(&oldest.aio, buffer.data(), std::min(buffer.size(), oldest.length));
    if (n < 0) return n;
    if (n == 0) {
      eof_ = true;
      return 0;
    }
    std::size_t const got = static_cast<std::size_t>(n);
    if (got < oldest.length && !begin(oldest.offset + got, oldest.length - got, true)) return -1;
    return n;
  }

 private:
  struct Request {
    sftp_aio aio;
    std::uint64_t offset;
    std::size_t length;
  };

  bool begin(std::uint64_t offset, std::size_t length, bool first) {
    if (sftp_seek64(file_, offset) < 0) return false;
    sftp_aio aio = nullptr;
    if (sftp_aio_begin_read(file_, length, &aio) < 0) return false;
    if (first)
      pending_.push_front({aio, offset, length});
    else
      pending_.push_back({aio, offset, length});
    return true;
  }

  sftp_file file_;
  std::deque<Request> pending_;
  std::uint64_t next_offset_ = 0;
  bool eof_ = false;
};

}  // namespace

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
  bool remote_failed = false;
  {
    ReadPipeline pipeline(file.get());
    std::vector<char> buffer(chunk_size);
    std::uint64_t total = 0;
    for (;;) {
      connection.begin_request();
      ssize_t const n = pipeline.next(buffer);
      if (n < 0) {
        Utilities::log_at(LogLevel::Error, translate("remote_file_read_error"));
        result = CopyResult::Failed;
        remote_failed = true;
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
  if (remote_failed) note_failure(connection);
  // An incomplete copy is of no use to anyone: the file made here goes.
  if (result != CopyResult::Done) ::unlink(target.c_str());
  return result;
}

}  // namespace KVO_Core::sftp_backend
