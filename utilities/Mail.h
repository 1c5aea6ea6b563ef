// Mail of fatal errors: the settings the configuration fills, and a small synchronous SMTP
// client (STARTTLS, or TLS from the start on port 465; AUTH LOGIN; one Base64 text/plain part).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace Utilities {

struct SmtpAccount {
  std::wstring server;  // host name or address literal
  std::uint16_t port = 587;
  std::wstring user;             // empty: no login
  std::wstring password;         // plain, used for the login
  std::wstring stored_password;  // configured text kept when it could not be decrypted
  std::wstring from;             // sender address
};

// The notification settings; every accessor takes the settings' own lock.
class LogEmail {
 public:
  bool notify_active() const;
  void notify_active(bool active);
  std::wstring notify_address() const;
  void notify_address(std::wstring const& address);
  SmtpAccount smtp_account() const;  // a copy
  void smtp_account(SmtpAccount const& account);

 private:
  mutable std::mutex mutex_;
  bool active_ = false;
  std::wstring address_;
  SmtpAccount account_;
};

struct MailResult {
  std::string error;              // translated, UTF-8; empty when the server took the message
  bool sent_unencrypted = false;  // accepted over a connection without TLS
};

// Sends one message with the UTF-8 body to `to`. Blocks (each read and write bounded by 15 s,
// the connect as well); holds no lock; never throws: every failure comes back as error text.
MailResult send_mail(SmtpAccount const& account, std::wstring const& to,
                     std::wstring const& subject, std::string const& body);

}  // namespace Utilities
