// A loopback OpenSSH SFTP server of the test's own (tests/support/sftp_server.sh): port() serves
// read-write, read_only_port() read-only and shim_port() through sftp_shim.py. root logs in with
// client_key(); password_user() with password().
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace test_support {

class SftpServer {
 public:
  explicit SftpServer(std::filesystem::path const& dir);
  ~SftpServer();
  SftpServer(SftpServer const&) = delete;
  SftpServer& operator=(SftpServer const&) = delete;

  bool started() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  std::uint16_t read_only_port() const { return port_ + 1; }
  std::uint16_t shim_port() const { return port_ + 2; }
  // "pass", "short", "hostile", "stall", "plain", "nosetstat" or "nowrite" (sftp_shim.py), for
  // logins from now on.
  void set_shim_mode(std::string const& mode) const;

  std::filesystem::path client_key() const { return dir_ / "client_ed25519"; }
  // The same server's key with pass phrase "keypass".
  std::filesystem::path locked_key() const { return dir_ / "client_locked"; }
  // "type blob" of the host key of the given kind ("ed25519" or "rsa").
  std::string host_key(std::string const& kind = "ed25519") const;
  static std::string password_user() { return "kvotest"; }
  static std::string password() { return "sftppass"; }

  // Ends the per-connection server processes (the sessions die; the listener stays).
  void kill_connections() const;
  // Stops the listener and every process below it with SIGSTOP: connections are still taken by
  // the kernel, but nothing answers. resume() lets them all go on.
  void suspend() const;
  void resume() const;

 private:
  std::filesystem::path dir_;
  std::uint16_t port_ = 0;
  int pid_ = 0;
};

// A loopback port with a listener that takes connections and never says a word.
class SilentListener {
 public:
  SilentListener();
  ~SilentListener();
  SilentListener(SilentListener const&) = delete;
  SilentListener& operator=(SilentListener const&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A loopback port that nothing listens on (one that was just free).
std::uint16_t closed_port();

// Opens `dir` and the folders above it up to `root` (a test's own folder) for every user, so
// the password account can reach it.
void open_for_everyone(std::filesystem::path const& root, std::filesystem::path const& dir);

}  // namespace test_support
