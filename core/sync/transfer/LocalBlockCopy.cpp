#include "core/sync/transfer/LocalBlockCopy.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
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

// Creates the file to write; a staging name may first lose a leftover of a killed copy.
platform::FileDescriptor create(std::filesystem::path const& destination, int access, bool staged) {
  int const flags = access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  platform::FileDescriptor out(::open(destination.c_str(), flags, 0600));
  if (out || !staged || errno != EEXIST) return out;
  struct stat old {};
  if (::lstat(destination.c_str(), &old) != 0 || !(S_ISREG(old.st_mode) || S_ISLNK(old.st_mode)) ||
      ::unlink(destination.c_str()) != 0) {
    errno = EEXIST;
    return out;
  }
  return platform::FileDescriptor(::open(destination.c_str(), flags, 0600));
}

// Reads into data until size bytes or the end of the file: the count read, or -1 with errno.
ssize_t read_up_to(int in, char* data, std::size_t size, off_t offset = -1) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t const got =
        offset < 0 ? ::read(in, data + done, size - done)
                   : ::pread(in, data + done, size - done, offset + static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

// A file of at most one block in one read and one write; the written bytes are read back into
// the second half of the buffer. Small files are most files: this spares the second reading of
// the source that a verification of a kernel copy needs.
CopyResult copy_through_buffer(std::wstring const& from, std::wstring const& to, StagedCopy& copy,
                               CopyFailure& failure) {
  std::size_t const size = static_cast<std::size_t>(copy.source_status.st_size);
  auto const buffer = std::make_unique_for_overwrite<char[]>(2 * size);
  ssize_t const got = read_up_to(copy.source.get(), buffer.get(), size);
  if (got < 0) {
    read_failed(from, failure, errno_code());
    return CopyResult::Failed;
  }
  std::size_t const read = static_cast<std::size_t>(got);
  if (!write_all(copy.written.get(), buffer.get(), read)) {
    write_failed(to, failure, errno_code());
    return CopyResult::Failed;
  }
  RunContext::report_copied_bytes(read);
  // A source that shrank meanwhile is left to the full verification, which reports it.
  if (read != size) return CopyResult::Done;
  char* const back = buffer.get() + size;
  copy.verified = read_up_to(copy.written.get(), back, size, 0) == got &&
                  std::memcmp(buffer.get(), back, size) == 0;
  return CopyResult::Done;
}

CopyResult copy_into(std::wstring const& from, std::wstring const& to, StagedCopy& copy,
                     CopyFailure& failure, bool staged) {
  auto const destination = Utilities::to_path(to);
  if (!copy.source) {
    copy.source =
        platform::FileDescriptor(::open(Utilities::to_path(from).c_str(), O_RDONLY | O_CLOEXEC));
    if (!copy.source || ::fstat(copy.source.get(), &copy.source_status) != 0) {
      read_failed(from, failure, errno_code());
      return CopyResult::Failed;
    }
  }
  std::uint64_t const size = static_cast<std::uint64_t>(copy.source_status.st_size);
  bool const buffered = staged && size > 0 && size <= BLOCK_SIZE;
  // Read back through the same descriptor when the copy is verified from its buffer.
  copy.written = create(destination, buffered ? O_RDWR : O_WRONLY, staged);
  if (!copy.written) {
    std::error_code const error = errno_code();
    failure.reason = fsu::reason_for_create_failure(error, destination);
    failure.message =
        (failure.reason == fsu::file_name_invalid ? fsu::make_error_message(fsu::file_name_invalid)
                                                  : fsu::failure_text(error)) +
        L": " + to;
    return CopyResult::Failed;
  }
  if (buffered) {
    if (RunContext::stopping()) return CopyResult::Cancelled;
    return copy_through_buffer(from, to, copy, failure);
  }
  ChunkCopier copier(copy.source.get(), copy.written.get());
  std::uint64_t total = 0;
  // An empty file ends at the first chunk: no stop check, no progress.
  bool const empty = size == 0;
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
    if (total == size) break;
  }
  return CopyResult::Done;
}

}  // namespace

CopyResult block_copy(std::wstring const& from, std::wstring const& to, CopyFailure& failure) {
  StagedCopy copy;
  CopyResult const result = copy_into(from, to, copy, failure, false);
  if (result != CopyResult::Done) return result;
  if (int const error = copy.written.close(); error != 0) {
    write_failed(to, failure, {error, std::generic_category()});
    return CopyResult::Failed;
  }
  return CopyResult::Done;
}

CopyResult staged_copy(std::wstring const& from, std::wstring const& to, StagedCopy& copy,
                       CopyFailure& failure) {
  CopyResult const result = copy_into(from, to, copy, failure, true);
  copy.source.close();
  if (result != CopyResult::Done) copy.written.close();
  return result;
}

}  // namespace KVO_Core
