// Pipelined SFTP reads and writes: up to 16 requests of 64 KiB in flight per file, so that a
// transfer over a link with latency is not one round trip per chunk.
#pragma once

#include <libssh/sftp.h>

#include <cstdint>
#include <deque>
#include <vector>

namespace KVO_Core::sftp_backend {

inline constexpr std::size_t chunk_size = 65536;
inline constexpr std::size_t max_in_flight = 16;

// Reads awaited oldest first, so the data arrive in file order. A server may answer a read with
// less than asked; the rest is asked for again before anything later is taken, and only the
// oldest request's empty answer means the end of the file.
class ReadPipeline {
 public:
  explicit ReadPipeline(sftp_file file) : file_(file) {}
  ~ReadPipeline();
  ReadPipeline(ReadPipeline const&) = delete;
  ReadPipeline& operator=(ReadPipeline const&) = delete;

  // Bytes read into the buffer, 0 at the end of the file, negative on an error.
  ssize_t next(std::vector<char>& buffer);

 private:
  struct Request {
    sftp_aio aio;
    std::uint64_t offset;
    std::size_t length;
  };
  bool begin(std::uint64_t offset, std::size_t length, bool first);

  sftp_file file_;
  std::deque<Request> pending_;
  std::uint64_t next_offset_ = 0;
  bool eof_ = false;
};

// Writes at consecutive offsets; each pending request keeps its own copy of the bytes it was
// made from until the server confirms it.
class WritePipeline {
 public:
  explicit WritePipeline(sftp_file file) : file_(file) {}
  ~WritePipeline();
  WritePipeline(WritePipeline const&) = delete;
  WritePipeline& operator=(WritePipeline const&) = delete;

  // False when a request could not be sent or an older one waited for failed.
  bool write(std::vector<char> chunk);
  // Waits for the oldest pending write: false when it failed.
  bool drain_one();
  // Waits for every pending write: false at the first that failed.
  bool drain_all();

 private:
  sftp_file file_;
  std::deque<sftp_aio> pending_;
  std::deque<std::vector<char>> buffers_;
};

}  // namespace KVO_Core::sftp_backend
