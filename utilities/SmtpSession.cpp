#include "utilities/SmtpSession.h"

#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>

#include "utilities/TcpConnect.h"
#include "utilities/Translation.h"

namespace Utilities {

namespace {

constexpr int TIMEOUT_SECONDS = 15;
constexpr std::size_t MAX_LINE = 4096;
// A reply longer than this is no SMTP server talking.
constexpr int MAX_REPLY_LINES = 100;

}  // namespace

bool SmtpSession::fail(std::string text) {
  error_ = std::move(text);
  return false;
}

bool SmtpSession::connect(std::uint16_t port) {
  std::string target = (host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_) + ":" +
                       std::to_string(port);
  int fd = connect_tcp(host_, port, std::chrono::seconds(TIMEOUT_SECONDS));
  if (fd < 0) return fail(translation::translate_utf8("smtp_no_connection_to") + target);
  BIO* socket_bio = BIO_new_socket(fd, BIO_CLOSE);
  if (!socket_bio) {
    ::close(fd);
    return fail(translation::translate_utf8("smtp_connection_not_openable", {target}));
  }
  chain_.reset(socket_bio);
  timeval tv{TIMEOUT_SECONDS, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return true;
}

bool SmtpSession::put(std::string const& line) {
  std::string data = line + "\r\n";
  std::size_t done = 0;
  while (done < data.size()) {
    int n = BIO_write(chain_.get(), data.data() + done, static_cast<int>(data.size() - done));
    if (n <= 0) return fail(translation::translate_utf8("smtp_send_failed", {host_}));
    done += static_cast<std::size_t>(n);
  }
  if (BIO_flush(chain_.get()) <= 0)
    return fail(translation::translate_utf8("smtp_send_failed", {host_}));
  return true;
}

int SmtpSession::read_line(std::string& line) {
  line.clear();
  while (line.size() < MAX_LINE) {
    char c;
    if (BIO_read(chain_.get(), &c, 1) != 1) return line.empty() ? 0 : -1;
    line += c;
    if (c == '\n') break;
  }
  return 1;
}

bool SmtpSession::read_reply(int& code) {
  for (int count = 0;; ++count) {
    std::string line;
    int got = read_line(line);
    if (got == 0) return fail(translation::translate_utf8("smtp_no_answer_from") + host_);
    if (got < 0) return fail(translation::translate_utf8("smtp_truncated_answer_from") + host_);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    auto digit = [&](std::size_t i) { return std::isdigit(static_cast<unsigned char>(line[i])); };
    if (line.size() < 3 || !digit(0) || !digit(1) || !digit(2))
      return fail(translation::translate_utf8("smtp_unexpected_answer", {host_}) + line);
    code = std::stoi(line.substr(0, 3));
    last_line_ = line;
    if (line.size() == 3 || line[3] != '-') return true;
    if (count + 1 >= MAX_REPLY_LINES)
      return fail(translation::translate_utf8("smtp_unexpected_answer", {host_}) + line);
  }
}

bool SmtpSession::reply(int expected) {
  int code = 0;
  if (!read_reply(code)) return false;
  if (code == expected) return true;
  return fail(translation::translate_utf8("smtp_server_answers", {host_}) + last_line_);
}

bool SmtpSession::reply_ok() {
  int code = 0;
  if (!read_reply(code)) return false;
  if (code >= 200 && code <= 299) return true;
  return fail(translation::translate_utf8("smtp_server_answers", {host_}) + last_line_);
}

bool SmtpSession::ehlo() {
  char name[256];
  std::string own = "localhost";
  if (::gethostname(name, sizeof name) == 0) {
    name[sizeof name - 1] = '\0';
    if (name[0]) own = name;
  }
  return put("EHLO " + own) && reply_ok();
}

bool SmtpSession::enable_tls() {
  ctx_.reset(SSL_CTX_new(TLS_client_method()));
  if (!ctx_ || !SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_2_VERSION) ||
      SSL_CTX_set_default_verify_paths(ctx_.get()) != 1)
    return fail(translation::translate_utf8("smtp_tls_init_failed"));
  SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);

  openssl::Bio ssl_bio(BIO_new_ssl(ctx_.get(), 1));
  SSL* ssl = nullptr;
  if (!ssl_bio || BIO_get_ssl(ssl_bio.get(), &ssl) <= 0 || !ssl)
    return fail(translation::translate_utf8("smtp_tls_layer_failed"));
  // An address literal is checked against the certificate's IP entries and sent as no SNI.
  bool name_set = is_address_literal(host_)
                      ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host_.c_str()) == 1
                      : SSL_set_tlsext_host_name(ssl, host_.c_str()) == 1 &&
                            SSL_set1_host(ssl, host_.c_str()) == 1;
  if (!name_set) return fail(translation::translate_utf8("smtp_tls_layer_failed"));

  chain_.reset(BIO_push(ssl_bio.release(), chain_.release()));
  if (BIO_do_handshake(chain_.get()) <= 0)
    return fail(translation::translate_utf8("smtp_tls_handshake_failed", {host_}));
  BIO* buffer = BIO_new(BIO_f_buffer());
  if (!buffer) return fail(translation::translate_utf8("smtp_read_buffer_failed", {host_}));
  chain_.reset(BIO_push(buffer, chain_.release()));
  return true;
}

}  // namespace Utilities
