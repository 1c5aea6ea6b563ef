#include "core/crypto/OutputFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

namespace KVO_Core::crypto_files {

OutputFile::OutputFile(std::filesystem::path const& path, int flags, mode_t mode)
    : stream_(nullptr) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | flags, mode);
  if (fd_ < 0) {
    stream_.setstate(std::ios::badbit);
    return;
  }
  buffer_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd_, std::ios::out | std::ios::binary);
  stream_.rdbuf(buffer_.get());
}

OutputFile::~OutputFile() { close(); }

bool OutputFile::sync() {
  if (!buffer_) return false;
  if (stream_.flush().fail() || ::fdatasync(fd_) != 0) {
    stream_.setstate(std::ios::badbit);
    return false;
  }
  return true;
}

bool OutputFile::close() {
  if (!buffer_) return false;
  bool ok = !stream_.flush().fail();
  // The buffer owns the descriptor: its close reports a failed flush or close.
  ok = buffer_->close() != nullptr && ok;
  stream_.rdbuf(nullptr);
  buffer_.reset();
  fd_ = -1;
  if (!ok) stream_.setstate(std::ios::badbit);
  return ok;
}

}  // namespace KVO_Core::crypto_files
