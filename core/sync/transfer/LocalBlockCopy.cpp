#include "core/sync/transfer/LocalBlockCopy.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "core/run/RunContext.h"
#include "platform/FileDescriptor.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Paths.h"

namespace KVO_Core {

namespace fsu = Utilities::FilesystemUtil;

namespace {

enum class Route { CopyRange, SendFile, ReadWrite };

// Errors that say this route does not work between these two files, not that the copy failed.
bool route_unsupported(int error) {
  return error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS;
}

std::error_code errno_code() { return {errno, std::generic_category()}; }

// Writes all of the buffer; false with errno set.
bool write_all(int out, char const* data, std::size_t size) {
  while (size > 0) {
    ssize_t const put = ::write(out, data, size);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

class ChunkCopier {
 public:
  ChunkCopier(int in, int out) : in_(in), out_(out) {}

  // One chunk: bytes copied (0 at the end of the file), or -1 with errno set and
  // write_side telling whether writing failed.
  ssize_t next(bool& write_side) {
    write_side = true;
    for (;;) {
      ssize_t moved = -1;
      switch (route_) {
        case Route::CopyRange:
          moved = ::copy_file_range(in_, nullptr, out_, nullptr, BLOCK_SIZE, 0);
          break;
        case Route::SendFile:
          moved = ::sendfile(out_, in_, nullptr, BLOCK_SIZE);
          break;
        case Route::ReadWrite:
          return through_buffer(write_side);
      }
      if (moved >= 0) return moved;
      if (errno == EINTR) continue;
      if (!route_unsupported(errno)) return -1;
      route_ = route_ == Route::CopyRange ? Route::SendFile : Route::ReadWrite;
    }
  }

 private:
  ssize_t through_buffer(bool& write_side) {
    // No zero-filling: the buffer is only ever read back up to what was read into it.
    if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(BLOCK_SIZE);
    ssize_t got;
    do got = ::read(in_, buffer_.get(), BLOCK_SIZE);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
      write_side = false;
      return -1;
    }
    if (got > 0 && !write_all(out_, buffer_.get(), static_cast<std::size_t>(got))) return -1;
    return got;
  }

  int in_;
  int out_;
  Route route_ = Route::CopyRange;
  std::unique_ptr<char[]> buffer_;
};

}  // namespace

CopyResult block_copy(std::wstring const& from, std::wstring const& to, CopyFailure& failure) {
  auto const destination = Utilities::to_path(to);
  platform::FileDescriptor in(::open(Utilities::to_path(from).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat source {};
  if (in.get() < 0 || ::fstat(in.get(), &source) != 0) {
    read_failed(from, failure, errno_code());
    return CopyResult::Failed;
  }
  platform::FileDescriptor out(
      ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.get() < 0) {
    std::error_code const error = errno_code();
    failure.reason = fsu::reason_for_create_failure(error, destination);
    failure.message =
        (failure.reason == fsu::file_name_invalid ? fsu::make_error_message(fsu::file_name_invalid)
                                                  : fsu::failure_text(error)) +
        L": " + to;
    return CopyResult::Failed;
  }
  ChunkCopier copier(in.get(), out.get());
  std::uint64_t total = 0;
  // An empty file ends at the first chunk: no stop check, no progress.
  bool const empty = source.st_size == 0;
  for (;;) {
    if (!empty && RunContext::stopping()) return CopyResult::Cancelled;
    bool write_side = true;
    ssize_t const moved = copier.next(write_side);
    if (moved < 0) {
      std::error_code const error = errno_code();
      if (write_side)
        write_failed(to, failure, error);
      else
        read_failed(from, failure, error);
      return CopyResult::Failed;
    }
    if (moved == 0) break;
    total += static_cast<std::uint64_t>(moved);
    RunContext::report_copied_bytes(total);
    // All that fstat saw is copied: no call to meet the end. A source that grew since gave more
    // and is copied on; one that grows after fails its verification.
    if (total == static_cast<std::uint64_t>(source.st_size)) break;
  }
  if (int const error = out.close(); error != 0) {
    write_failed(to, failure, {error, std::generic_category()});
    return CopyResult::Failed;
  }
  return CopyResult::Done;
}

}  // namespace KVO_Core
