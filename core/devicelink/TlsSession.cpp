#include "core/devicelink/TlsSession.h"

#include <poll.h>

#include <openssl/err.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "core/devicelink/DeviceIdentity.h"

namespace KVO_Core {

namespace {

// How often a wait looks at the stop flag.
constexpr std::chrono::milliseconds STOP_SLICE{250};

}  // namespace

TlsSession::TlsSession(SSL_CTX* context, int fd, std::atomic<bool> const& stop,
                       std::chrono::milliseconds idle)
    : ssl_(SSL_new(context)), fd_(fd), stop_(stop), idle_(idle) {
  if (ssl_ && SSL_set_fd(ssl_.get(), fd) != 1) ssl_.reset();
}

TlsSession::~TlsSession() {
  // One close_notify, without waiting for the phone's.
  if (ssl_ && shaken_) SSL_shutdown(ssl_.get());
  ERR_clear_error();
}

bool TlsSession::wait_after(int result, Clock::time_point deadline) {
  int const error = SSL_get_error(ssl_.get(), result);
  short events = 0;
  if (error == SSL_ERROR_WANT_READ)
    events = POLLIN;
  else if (error == SSL_ERROR_WANT_WRITE)
    events = POLLOUT;
  else
    return false;
  auto const idle_end = std::min(Clock::now() + idle_, deadline);
  for (;;) {
    if (stop_.load()) return false;
    auto const now = Clock::now();
    if (now >= idle_end) return false;
    auto const slice = std::min<Clock::duration>(idle_end - now, STOP_SLICE);
    pollfd p{fd_, events, 0};
    int const ready = ::poll(
        &p, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0) return true;
  }
}

bool TlsSession::handshake(Clock::time_point deadline, std::string& error) {
  if (!ssl_) {
    error = "no TLS object";
    return false;
  }
  for (;;) {
    ERR_clear_error();
    int const result = SSL_accept(ssl_.get());
    if (result == 1) {
      shaken_ = true;
      return true;
    }
    unsigned long const code = ERR_peek_error();
    if (!wait_after(result, deadline)) {
      std::array<char, 256> text{};
      ERR_error_string_n(code, text.data(), text.size());
      error = text.data();
      return false;
    }
  }
}

std::string TlsSession::peer_fingerprint() const {
  if (!ssl_) return {};
  openssl::Certificate cert(SSL_get1_peer_certificate(ssl_.get()));
  return certificate_fingerprint(cert.get());
}

std::optional<std::string> TlsSession::read_line(std::size_t limit, Clock::time_point deadline) {
  std::string buffer;
  std::array<char, 4096> piece{};
  for (;;) {
    ERR_clear_error();
    int const got = SSL_read(ssl_.get(), piece.data(), static_cast<int>(piece.size()));
    if (got <= 0) {
      if (!wait_after(got, deadline)) return std::nullopt;
      continue;
    }
    std::size_t const searched = buffer.size();
    buffer.append(piece.data(), static_cast<std::size_t>(got));
    auto const end = buffer.find('\n', searched);
    if (end != std::string::npos) {
      if (end + 1 > limit) return std::nullopt;
      buffer.resize(end);
      return buffer;
    }
    if (buffer.size() >= limit) return std::nullopt;
  }
}

bool TlsSession::write(std::string const& text) {
  if (!ssl_ || !shaken_) return false;
  std::size_t done = 0;
  // Each write may idle for the idle limit; a long pass has no overall deadline.
  while (done < text.size()) {
    ERR_clear_error();
    int const chunk = static_cast<int>(std::min<std::size_t>(text.size() - done, 1 << 30));
    int const wrote = SSL_write(ssl_.get(), text.data() + done, chunk);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
      continue;
    }
    if (!wait_after(wrote, Clock::time_point::max())) return false;
  }
  return true;
}

}  // namespace KVO_Core
