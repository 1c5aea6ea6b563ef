// Pipelined SFTP reads and writes: up to 16 requests of 64 KiB in flight per file, so that a
// transfer over a link with latency is not one round trip per chunk.
//
// libssh keeps every reply whose request nobody waits for in the session's queue for good and
// searches that queue for each later reply, and a wait for a reply it has queued already first
// blocks for one more packet. So a pipeline waits for its requests in the order they were sent,
// and never walks away from one: at the end it takes the replies still owed, or cuts the
// session where they will not come.
#pragma once

#include <libssh/sftp.h>

#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "core/remote/SshSession.h"

namespace KVO_Core::sftp_backend {

inline constexpr std::size_t chunk_size = 65536;
inline constexpr std::size_t max_in_flight = 16;

// Gives the data in file order. A server may answer a read with less than asked: the rest is
// asked for again, and what came ahead of it waits here (at most a window's worth). Only an
// empty answer means the end of the file, at the lowest offset one was given for.
// With the size the file was listed with, requests go up to that size and one more looks past
// it for the end; a file that turns out longer gets the whole window again.
class ReadPipeline {
 public:
  ReadPipeline(SftpConnection const& connection, sftp_file file,
               std::optional<std::uint64_t> listed_size);
  ~ReadPipeline();
  ReadPipeline(ReadPipeline const&) = delete;
  ReadPipeline& operator=(ReadPipeline const&) = delete;

  // Bytes read into the buffer (at most chunk_size), 0 at the end of the file, negative on an
  // error.
  ssize_t next(std::vector<char>& buffer);

 private:
  struct Request {
    sftp_aio aio;
    std::uint64_t offset;
    std::size_t length;
  };
  bool fill();
  bool begin(std::uint64_t offset, std::size_t length);
  void settle();

  SftpConnection const& connection_;
  sftp_file file_;
  std::deque<Request> pending_;  // in the order sent
  std::map<std::uint64_t, std::vector<char>> ahead_;
  std::uint64_t delivered_ = 0;
  std::uint64_t next_offset_ = 0;
  // Requests start freely below this offset; past it only one at a time.
  std::uint64_t open_until_ = std::numeric_limits<std::uint64_t>::max();
  std::optional<std::uint64_t> end_;
};

// Writes at consecutive offsets; each pending request keeps its own copy of the bytes it was
// made from until the server confirms it.
class WritePipeline {
 public:
  WritePipeline(SftpConnection const& connection, sftp_file file)
      : connection_(connection), file_(file) {}
  ~WritePipeline() { settle(); }
  WritePipeline(WritePipeline const&) = delete;
  WritePipeline& operator=(WritePipeline const&) = delete;

  // False when a request could not be sent or an older one waited for failed.
  bool write(std::vector<char> chunk);
  // Waits for the oldest pending write: false when it failed.
  bool drain_one();
  // Waits for every pending write: false at the first that failed.
  bool drain_all();
  // After a failure: takes the replies still owed (a refused write says nothing about the ones
  // after it), or cuts the session when the server no longer answers. Must come before any
  // other request on the session.
  void settle();

 private:
  SftpConnection const& connection_;
  sftp_file file_;
  std::deque<sftp_aio> pending_;
  std::deque<std::vector<char>> buffers_;
};

}  // namespace KVO_Core::sftp_backend
