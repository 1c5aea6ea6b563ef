#include "core/remote/SftpPipeline.h"

#include <algorithm>
#include <cstring>

namespace KVO_Core::sftp_backend {

ReadPipeline::ReadPipeline(SftpConnection const& connection, sftp_file file,
                           std::optional<std::uint64_t> listed_size)
    : connection_(connection), file_(file) {
  if (listed_size) open_until_ = *listed_size;
}

ReadPipeline::~ReadPipeline() { settle(); }

void ReadPipeline::settle() {
  std::vector<char> scratch;
  while (!pending_.empty()) {
    Request request = pending_.front();
    pending_.pop_front();
    scratch.resize(request.length);
    connection_.begin_request();
    if (!connection_.connected() ||
        sftp_aio_wait_read(&request.aio, scratch.data(), request.length) < 0) {
      // A failed wait has freed its request already.
      if (request.aio) sftp_aio_free(request.aio);
      for (Request& r : pending_) sftp_aio_free(r.aio);
      pending_.clear();
      connection_.discard();
      return;
    }
  }
}

bool ReadPipeline::fill() {
  std::uint64_t const window = delivered_ + max_in_flight * chunk_size;
  while (!end_ && pending_.size() < max_in_flight && next_offset_ < window) {
    std::size_t length = chunk_size;
    if (next_offset_ < open_until_) {
      length =
          static_cast<std::size_t>(std::min<std::uint64_t>(chunk_size, open_until_ - next_offset_));
    } else if (std::any_of(pending_.begin(), pending_.end(),
                           [&](Request const& r) { return r.offset >= open_until_; })) {
      break;
    }
    if (!begin(next_offset_, length)) return false;
    next_offset_ += length;
  }
  return true;
}

ssize_t ReadPipeline::next(std::vector<char>& buffer) {
  if (buffer.size() < chunk_size) buffer.resize(chunk_size);
  for (;;) {
    if (auto const it = ahead_.find(delivered_); it != ahead_.end()) {
      std::size_t const size = it->second.size();
      std::memcpy(buffer.data(), it->second.data(), size);
      delivered_ += size;
      ahead_.erase(it);
      return static_cast<ssize_t>(size);
    }
    if (end_ && delivered_ >= *end_) {
      // Requests past the end are answered at once; taking their replies keeps the session's
      // queue empty for the next file.
      settle();
      return 0;
    }
    if (!fill()) return -1;
    if (pending_.empty()) return end_ ? 0 : -1;
    Request oldest = pending_.front();
    pending_.pop_front();
    std::vector<char> held;
    bool const in_order = oldest.offset == delivered_;
    if (!in_order) held.resize(oldest.length);
    char* const into = in_order ? buffer.data() : held.data();
    ssize_t const n = sftp_aio_wait_read(&oldest.aio, into, oldest.length);
    if (n < 0) {
      // The replies still owed by a server that stopped answering would each take as long.
      if (connection_.broken()) connection_.discard();
      return n;
    }
    if (n == 0) {
      end_ = std::min(end_.value_or(oldest.offset), oldest.offset);
      continue;
    }
    std::size_t const got = static_cast<std::size_t>(n);
    if (oldest.offset + got > open_until_) open_until_ = std::numeric_limits<std::uint64_t>::max();
    if (got < oldest.length && !begin(oldest.offset + got, oldest.length - got)) return -1;
    if (in_order) {
      delivered_ += got;
      return n;
    }
    held.resize(got);
    ahead_.emplace(oldest.offset, std::move(held));
  }
}

bool ReadPipeline::begin(std::uint64_t offset, std::size_t length) {
  if (sftp_seek64(file_, offset) < 0) return false;
  sftp_aio aio = nullptr;
  if (sftp_aio_begin_read(file_, length, &aio) < 0) return false;
  pending_.push_back({aio, offset, length});
  return true;
}

void WritePipeline::settle() {
  while (!pending_.empty() && connection_.connected()) {
    connection_.begin_request();
    if (!drain_one() && connection_.broken()) break;
  }
  if (pending_.empty()) return;
  for (sftp_aio aio : pending_) sftp_aio_free(aio);
  pending_.clear();
  buffers_.clear();
  connection_.discard();
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
