// A loopback SMTP server of the test's own (tests/support/smtp_server.sh), stopped by pid.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace test_support {

class SmtpServer {
 public:
  // Starts the server in `mode` (see the script) on `host`, port `port` (0: a free one) with a
  // certificate for "localhost" or "other". started() tells whether it came up.
  SmtpServer(std::filesystem::path const& dir, std::string const& mode,
             std::string const& host = "127.0.0.1", std::uint16_t port = 0,
             std::string const& cert = "localhost");
  ~SmtpServer();
  SmtpServer(SmtpServer const&) = delete;
  SmtpServer& operator=(SmtpServer const&) = delete;

  bool started() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  // The test CA; trust it through SSL_CERT_FILE.
  std::filesystem::path ca() const { return dir_ / "ca.pem"; }

  struct Mail {
    std::string raw;                           // the DATA as received
    std::map<std::string, std::string> flags;  // from, to, tls, auth
  };
  // Every accepted message, oldest first.
  std::vector<Mail> mails() const;

 private:
  std::filesystem::path dir_;
  std::uint16_t port_ = 0;
  int pid_ = 0;
};

}  // namespace test_support
