// An output stream over a file opened with flags of our choosing (exclusive creation, no
// following of links), which reports failures of flush, sync and close.
#pragma once

#include <sys/types.h>

#include <ext/stdio_filebuf.h>

#include <filesystem>
#include <memory>
#include <ostream>

namespace KVO_Core::crypto_files {

class OutputFile {
 public:
  // Opens write-only, close-on-exec, not following a link at the last component, with the
  // extra flags (O_CREAT, O_EXCL, O_TRUNC...) and the mode for a new file.
  OutputFile(std::filesystem::path const& path, int flags, mode_t mode);
  ~OutputFile();
  OutputFile(OutputFile const&) = delete;
  OutputFile& operator=(OutputFile const&) = delete;

  bool is_open() const { return buffer_ != nullptr; }
  std::ostream& stream() { return stream_; }
  // Flushes and syncs the data to disk; false on failure (the stream is then marked bad).
  bool sync();
  // Flushes and closes; false when the stream had failed or flushing or closing failed.
  bool close();

 private:
  std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buffer_;
  std::ostream stream_;
  int fd_ = -1;
};

}  // namespace KVO_Core::crypto_files
