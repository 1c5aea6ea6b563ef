// One TLS server connection on a non-blocking socket: every step waits with poll, at most the
// idle limit without progress and never past the step's deadline, and gives up as soon as the
// stop flag is set. A slow or silent phone can so hold the link's thread only for bounded time.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "core/devicelink/OpenSslHandles.h"

namespace KVO_Core {

class TlsSession {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes over nothing: `fd` must outlive the session.
  TlsSession(SSL_CTX* context, int fd, std::atomic<bool> const& stop,
             std::chrono::milliseconds idle);
  ~TlsSession();
  TlsSession(TlsSession const&) = delete;
  TlsSession& operator=(TlsSession const&) = delete;

  // The server handshake; false with OpenSSL's text for the failure in `error`.
  bool handshake(Clock::time_point deadline, std::string& error);
  // The SHA-256 fingerprint of the client's certificate; empty when it sent none.
  std::string peer_fingerprint() const;
  // The bytes before the first "\n" when the line, with its line end, fits into `limit` bytes;
  // none when the peer closes, stalls, sends more or the deadline passes.
  std::optional<std::string> read_line(std::size_t limit, Clock::time_point deadline);
  // Writes every byte; false when the peer is gone or stalls.
  bool write(std::string const& text);

  void set_idle(std::chrono::milliseconds idle) { idle_ = idle; }

 private:
  // Waits for what OpenSSL asked after `result`; false to give up.
  bool wait_after(int result, Clock::time_point deadline);

  openssl::Ssl ssl_;
  int fd_;
  std::atomic<bool> const& stop_;
  std::chrono::milliseconds idle_;
  bool shaken_ = false;
};

}  // namespace KVO_Core
