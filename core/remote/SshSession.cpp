#include "core/remote/SshSession.h"

#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <csignal>
#include <map>
#include <mutex>

#include "core/remote/HostKeyTrust.h"
#include "core/remote/SshLogin.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Translation.h"

namespace KVO_Core {

using Utilities::FilesystemUtil::FileInfoResult;

namespace {

using Pool = std::map<std::string, std::shared_ptr<SftpConnection::Session>>;
thread_local std::unique_ptr<Pool> pool;
// Accounts whose server could not be reached in this scope, with what the attempt said: a
// server that takes connections and then says nothing costs a whole time-out per attempt, and
// a pass asks once per file. The next scope tries again.
thread_local std::unique_ptr<std::map<std::string, SshUnreachable>> unreachable_in_scope;

std::string pool_key(SshAccount const& account) {
  return account.name() + "|" + account.user() + "@" + account.host();
}

// libssh linked statically needs its explicit start; a peer that closes must not kill the
// process through SIGPIPE.
void start_library() {
  static std::once_flag once;
  std::call_once(once, [] {
    ssh_init();
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
      std::signal(SIGPIPE, SIG_IGN);
  });
}

FileInfoResult connect_refusal(std::string const& host, std::chrono::nanoseconds elapsed) {
  addrinfo* found = nullptr;
  int const rc = getaddrinfo(host.c_str(), nullptr, nullptr, &found);
  if (found) freeaddrinfo(found);
  if (rc != 0) return FileInfoResult::network_unavailable;
  if (elapsed + std::chrono::seconds(1) < std::chrono::seconds(ssh_connect_timeout()))
    return FileInfoResult::server_connect_failed;
  return FileInfoResult::connection_timeout;
}

// The host-key algorithms that offer a key of the pinned type: libssh names RSA keys "ssh-rsa"
// while servers sign with the SHA-2 variants.
std::string host_key_algorithms(std::string const& type) {
  if (type == "ssh-rsa") return "rsa-sha2-512,rsa-sha2-256,ssh-rsa";
  return type;
}

}  // namespace

long ssh_connect_timeout() { return 15; }

void apply_ssh_connect_timeout(ssh_session session) {
  long const seconds = ssh_connect_timeout();
  ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &seconds);
}

void apply_ssh_dir(ssh_session session) {
  std::string const home = Utilities::FilesystemUtil::home_dir();
  if (home.empty()) return;
  std::string const dir = home + "/.ssh";
  ssh_options_set(session, SSH_OPTIONS_SSH_DIR, dir.c_str());
}

SshSessionScope::SshSessionScope() {
  if (pool) return;
  pool = std::make_unique<Pool>();
  unreachable_in_scope = std::make_unique<std::map<std::string, SshUnreachable>>();
  owns = true;
}

SshSessionScope::~SshSessionScope() {
  if (!owns) return;
  pool.reset();
  unreachable_in_scope.reset();
}

bool SshSessionScope::active() { return pool != nullptr; }

SftpConnection::Session::~Session() {
  if (sftp) sftp_free(sftp);
  if (ssh) {
    ssh_disconnect(ssh);
    ssh_free(ssh);
  }
}

SftpConnection::SftpConnection(SshAccount const& account) { connect(account); }

void SftpConnection::connect(SshAccount const& account) {
  std::string const key = pool_key(account);
  if (pool) {
    auto it = pool->find(key);
    if (it != pool->end() && it->second->ssh && ssh_is_connected(it->second->ssh)) {
      session = it->second;
      return;
    }
  }
  if (unreachable_in_scope) {
    auto const it = unreachable_in_scope->find(key);
    if (it != unreachable_in_scope->end()) throw it->second;
  }
  try {
    open_session(account);
  } catch (SshUnreachable const& e) {
    if (unreachable_in_scope) unreachable_in_scope->insert_or_assign(key, e);
    throw;
  }
  if (pool) (*pool)[key] = session;
}

void SftpConnection::open_session(SshAccount const& account) {
  start_library();
  session = std::make_shared<Session>();
  session->ssh = ssh_new();
  if (!session->ssh)
    fail(Utilities::translation::translate_utf8("ssh_session_create_error"),
         FileInfoResult::unknown_error);
  ssh_session const ssh = session->ssh;
  apply_ssh_dir(ssh);
  // The account's own host, port and user win over whatever the ssh config files say: they are
  // read now and then overridden.
  ssh_options_set(ssh, SSH_OPTIONS_HOST, account.host().c_str());
  ssh_options_parse_config(ssh, nullptr);
  ssh_options_set(ssh, SSH_OPTIONS_HOST, account.host().c_str());
  unsigned int const port = account.port;
  ssh_options_set(ssh, SSH_OPTIONS_PORT, &port);
  ssh_options_set(ssh, SSH_OPTIONS_USER, account.user().c_str());
  apply_ssh_connect_timeout(ssh);
  // Requests and replies are small and each waits for the last: Nagle's delay would hold the
  // second of two requests sent together until the first is acknowledged.
  int const no_delay = 1;
  ssh_options_set(ssh, SSH_OPTIONS_NODELAY, &no_delay);
  if (!account.hostKey.empty()) {
    // A server with several host keys must show the pinned one, not the one it prefers.
    std::string const algorithms = host_key_algorithms(pinned_key_type(account.hostKey));
    if (!algorithms.empty()) ssh_options_set(ssh, SSH_OPTIONS_HOSTKEYS, algorithms.c_str());
  }

  auto const t0 = std::chrono::steady_clock::now();
  if (ssh_connect(ssh) != SSH_OK)
    unreachable(Utilities::translation::translate_utf8("libssh_connect_error") + error(),
                connect_refusal(account.host(), std::chrono::steady_clock::now() - t0));
  bool const trusted = account.hostKey.empty()
                           ? verify_ssh_host_key(ssh, account.host())
                           : verify_pinned_host_key(ssh, account.hostKey, account.host());
  if (!trusted)
    fail(Utilities::translation::translate_utf8("host_key_verification_failed"),
         FileInfoResult::server_not_trusted);
  if (!ssh_login::accepted(ssh, account))
    fail(Utilities::translation::translate_utf8("libssh_auth_error") + error(),
         FileInfoResult::authentication_failed);
  session->sftp = sftp_new(ssh);
  if (!session->sftp)
    fail(Utilities::translation::translate_utf8("sftp_session_create_error"),
         FileInfoResult::unknown_error);
  if (sftp_init(session->sftp) != 0)
    fail(Utilities::translation::translate_utf8("sftp_init_failed"), FileInfoResult::unknown_error);
}

void SftpConnection::fail(std::string const& text, FileInfoResult reason) {
  session.reset();
  throw RemoteFailure(reason, text);
}

void SftpConnection::unreachable(std::string const& text, FileInfoResult reason) {
  session.reset();
  throw SshUnreachable(text, reason);
}

std::string SftpConnection::error() const {
  if (!session || !session->ssh) return {};
  char const* text = ssh_get_error(session->ssh);
  return text ? text : "";
}

bool SftpConnection::connected() const { return ssh() && ssh_is_connected(ssh()); }

// Every SFTP status reply leaves SSH_REQUEST_DENIED; a failure of the channel itself leaves
// SSH_FATAL (end of file, a malformed packet), or nothing at all when the reply did not come
// within the time-out.
bool SftpConnection::broken() const {
  if (!connected() || !sftp() || ssh_get_error_code(ssh()) == SSH_FATAL) return true;
  return std::chrono::steady_clock::now() - request_started_ >=
         std::chrono::seconds(ssh_connect_timeout() - 1);
}

void SftpConnection::discard() const {
  if (!session) return;
  // Every further request on a server that stopped answering would wait out the time-out again
  // (closing a file, asking for room, the channel's own close): cut the connection, so that they
  // fail at once.
  // The socket is shut, not the session: disconnecting frees the channels under the SFTP
  // session and the files still open on it.
  if (session->ssh) {
    socket_t const fd = ssh_get_fd(session->ssh);
    if (fd != SSH_INVALID_SOCKET) ::shutdown(fd, SHUT_RDWR);
  }
  if (!pool) return;
  for (auto it = pool->begin(); it != pool->end(); ++it) {
    if (it->second == session) {
      pool->erase(it);
      break;
    }
  }
}

SftpFileHandle SftpConnection::open(std::string const& path, int flags, std::uint16_t mode) const {
  if (!sftp()) return nullptr;
  begin_request();
  return SftpFileHandle(sftp_open(sftp(), path.c_str(), flags, mode));
}

SftpDirHandle SftpConnection::open_dir(std::string const& path) const {
  if (!sftp()) return nullptr;
  begin_request();
  return SftpDirHandle(sftp_opendir(sftp(), path.c_str()));
}

SftpAttributesHandle SftpConnection::stat(std::string const& path) const {
  if (!sftp()) return nullptr;
  begin_request();
  return SftpAttributesHandle(sftp_stat(sftp(), path.c_str()));
}

SftpAttributesHandle SftpConnection::read_dir(sftp_dir dir) const {
  if (!sftp()) return nullptr;
  begin_request();
  return SftpAttributesHandle(sftp_readdir(sftp(), dir));
}

}  // namespace KVO_Core
