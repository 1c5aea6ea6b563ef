// The records of one remote account and one paired phone, and the checks of a phone's id and
// name. Plain values: copies are independent; nothing here locks or logs.
#pragma once

#include <cstdint>
#include <string>

namespace KVO_Core {

// One remote account of any kind (SFTP, WebDAV, Google Drive, OneDrive, Dropbox, S3). A sync
// item's remote path begins with its name and a colon.
class SshAccount {
 public:
  enum Kind : int { Ssh = 0, GoogleDrive = 1, OneDrive = 2, Dropbox = 3, S3 = 4 };

  SshAccount() = default;
  SshAccount(SshAccount const&) = default;
  SshAccount& operator=(SshAccount const&) = default;
  SshAccount(SshAccount&&) = default;
  SshAccount& operator=(SshAccount&&) = default;

  std::string const& name() const { return name_; }
  std::string const& user() const { return user_; }
  std::string const& host() const { return host_; }
  // The plain password (or refresh token, or S3 secret), never the stored form.
  std::string const& password() const { return password_; }

  void set_name(std::string value) { name_ = std::move(value); }
  void set_user(std::string value) { user_ = std::move(value); }
  void set_host(std::string value) { host_ = std::move(value); }
  // A non-empty password also drops the stored text of an undecryptable one.
  void set_password(std::string value);

 private:
  std::string name_;
  std::string user_;
  std::string host_;
  std::string password_;

 public:
  std::uint16_t port = 22;
  std::string hostKey;  // pinned host key; empty means trust on first use
  std::string keyFile;
  // The stored text of a password that could not be decrypted; written back unchanged.
  std::string stored_password;
  std::string url;  // with kind Ssh a non-empty url makes the account a WebDAV store
  int kind = Ssh;
  std::string region;  // S3 signing region

  friend bool operator==(SshAccount const&, SshAccount const&) = default;
};

// One paired phone.
struct Device {
  std::string id;  // 32 lower-case hexadecimal characters
  std::string name;
  std::string certFingerprint;  // hexadecimal SHA-256 of the phone's TLS client certificate
  std::string sshHostKey;       // host key of the phone's SFTP server; may be empty

  friend bool operator==(Device const&, Device const&) = default;
};

// Exactly 32 characters, each 0-9 or a-f.
bool valid_device_id(std::string const& id);
// 1 to 128 bytes, none below 32 and none equal to 127 (UTF-8 bytes above 127 are fine).
bool valid_device_name(std::string const& name);

}  // namespace KVO_Core
