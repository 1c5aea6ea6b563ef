#include "core/remote/SftpPipeline.h"

#include <algorithm>

namespace KVO_Core::sftp_backend {

ReadPipeline::~ReadPipeline() {
  for (Request& r : pending_) sftp_aio_free(r.aio);
}

ssize_t ReadPipeline::next(std::vector<char>& buffer) {
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

bool ReadPipeline::begin(std::uint64_t offset, std::size_t length, bool first) {
  if (sftp_seek64(file_, offset) < 0) return false;
  sftp_aio aio = nullptr;
  if (sftp_aio_begin_read(file_, length, &aio) < 0) return false;
  if (first)
    pending_.push_front({aio, offset, length});
  else
    pending_.push_back({aio, offset, length});
  return true;
}

WritePipeline::~WritePipeline() {
  for (sftp_aio aio : pending_) sftp_aio_free(aio);
}

bool WritePipeline::write(std::vector<char> chunk) {
  if (pending_.size() >= max_in_flight && !drain_one()) return false;
  buffers_.push_back(std::move(chunk));
  std::vector<char> const& data = buffers_.back();
  std::size_t sent = 0;
  while (sent < data.size()) {
    sftp_aio aio = nullptr;
    ssize_t const k = sftp_aio_begin_write(file_, data.data() + sent, data.size() - sent, &aio);
    if (k <= 0) {
      // The buffer has no request of its own now.
      if (buffers_.size() > pending_.size()) buffers_.pop_back();
      return false;
    }
    pending_.push_back(aio);
    sent += static_cast<std::size_t>(k);
    // The library took less than asked: the next request gets a buffer entry of its own.
    if (sent < data.size()) buffers_.push_back(data);
  }
  return true;
}

bool WritePipeline::drain_one() {
  if (pending_.empty()) return true;
  sftp_aio aio = pending_.front();
  pending_.pop_front();
  ssize_t const n = sftp_aio_wait_write(&aio);
  buffers_.pop_front();
  return n >= 0;
}

bool WritePipeline::drain_all() {
  while (!pending_.empty())
    if (!drain_one()) return false;
  return true;
}

}  // namespace KVO_Core::sftp_backend
