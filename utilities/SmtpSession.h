// One SMTP dialogue's connection: the BIO chain (socket, later TLS and a read buffer), the
// reply reader and the TLS set-up. Used by send_mail only; every false result leaves error().
#pragma once

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "utilities/Mail.h"
#include "utilities/OpenSslHandles.h"

namespace Utilities {

class SmtpSession {
 public:
  explicit SmtpSession(std::string host) : host_(std::move(host)) {}

  // Connects (bounded to 15 s) to `port` of the host and sets 15 s read and write time-outs.
  bool connect(std::uint16_t port);
  // Sends the line and "\r\n", then flushes.
  bool put(std::string const& line);
  // Reads a whole (possibly multi-line) reply; code is that of its last line.
  bool read_reply(int& code);
  bool reply(int expected);
  bool reply_ok();  // any 2xx
  bool ehlo();
  // TLS 1.2 or later, the certificate verified for the host; all traffic goes through it after.
  bool enable_tls();

  std::string const& error() const { return error_; }
  void set_error(std::string text) { error_ = std::move(text); }
  std::string const& last_line() const { return last_line_; }

 private:
  // One line, at most 4096 bytes; reads byte by byte so that nothing is taken from the socket
  // beyond the line (plain text must not reach the TLS layer after STARTTLS). 0: nothing read,
  // 1: a line, -1: the connection ended inside the line.
  int read_line(std::string& line);
  bool fail(std::string text);

  std::string host_;
  openssl::Bio chain_;
  openssl::SslCtx ctx_;
  std::string error_;
  std::string last_line_;
};

}  // namespace Utilities
