// SSH sessions with their SFTP channel, shared per thread inside an SshSessionScope.
#pragma once

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "core/config/Accounts.h"
#include "core/remote/SshHandles.h"
#include "core/remote/SshSessionScope.h"
#include "core/run/RemoteFailure.h"

namespace KVO_Core {

// The library's connection time-out in seconds, and setting it on a session.
long ssh_connect_timeout();
void apply_ssh_connect_timeout(ssh_session session);

// Points libssh's ssh folder (known_hosts, config) at the user's home as HOME gives it; the
// library would otherwise read the password database's home.
void apply_ssh_dir(ssh_session session);

// A connected, authenticated SSH session with an SFTP channel for one account. Must stay on the
// thread that made it.
class SftpConnection {
 public:
  struct Session {
    Session() = default;
    ~Session();
    Session(Session const&) = delete;
    Session& operator=(Session const&) = delete;
    ssh_session ssh = nullptr;
    sftp_session sftp = nullptr;
  };

  SftpConnection() = default;
  // Throws SshUnreachable (19, 15, 21) or RemoteFailure (32, 23, 37).
  explicit SftpConnection(SshAccount const& account);

  void connect(SshAccount const& account);
  void open_session(SshAccount const& account);

  // The library's last error text; empty without a session.
  std::string error() const;
  ssh_session ssh() const { return session ? session->ssh : nullptr; }
  sftp_session sftp() const { return session ? session->sftp : nullptr; }
  // Whether the session still holds a connection.
  bool connected() const;
  // Marks the start of a request (the wrappers below do it themselves).
  void begin_request() const { request_started_ = std::chrono::steady_clock::now(); }
  // After a failed request: whether it failed without an SFTP status (the connection dropped,
  // the server sent garbage or stopped answering until the time-out), so that the session is of
  // no further use.
  bool broken() const;
  // Cuts the connection and takes the session out of the thread's pool, so that the next
  // connect of the account opens a new one instead of waiting on a hung server again, and what
  // is still open on it fails at once. This handle keeps it; the last holder frees it.
  void discard() const;

  SftpFileHandle open(std::string const& path, int flags, std::uint16_t mode) const;
  SftpDirHandle open_dir(std::string const& path) const;
  SftpAttributesHandle stat(std::string const& path) const;
  SftpAttributesHandle read_dir(sftp_dir dir) const;

 private:
  [[noreturn]] void fail(std::string const& text, Utilities::FilesystemUtil::FileInfoResult reason);
  [[noreturn]] void unreachable(std::string const& text,
                                Utilities::FilesystemUtil::FileInfoResult reason);

  std::shared_ptr<Session> session;
  mutable std::chrono::steady_clock::time_point request_started_{};
};

}  // namespace KVO_Core
