// Sessions against the loopback sshd: host-key trust (known_hosts on first use, pinned keys),
// logins, how failed connects are classified, and the per-thread pool.
#include <chrono>

#include "../sync/engine_fixture.h"
#include "core/remote/HostKeyTrust.h"
#include "core/remote/SshLogin.h"
#include "core/remote/SshSession.h"
#include "remote_fixture.h"

namespace {

using namespace KVO_Core;
using namespace remote_test;
using Utilities::LogLevel;
using Utilities::FilesystemUtil::FileInfoResult;

// The reason a connect fails with; 0 when it succeeds.
int connect_reason(SshAccount const& account) {
  try {
    SftpConnection connection(account);
    return 0;
  } catch (RemoteFailure const& e) {
    return e.reason;
  }
}

class SessionTrust : public RemoteTest {};

TEST_F(SessionTrust, FirstConnectStoresTheKeyOnceAndLaterOnesAreSilent) {
  engine_test::LogLines log;
  EXPECT_EQ(connect_reason(key_account("a")), 0);
  std::string const stored = test_support::read_file(known_hosts());
  EXPECT_EQ(std::count(stored.begin(), stored.end(), '\n'), 1) << stored;
  EXPECT_EQ(log.count(LogLevel::Info, "host_key_stored"), 1u);
  EXPECT_EQ(connect_reason(key_account("a")), 0);
  EXPECT_EQ(test_support::read_file(known_hosts()), stored);
  EXPECT_EQ(log.count(LogLevel::Info, "host_key_stored"), 1u);
}

TEST_F(SessionTrust, AChangedHostKeyIsRefusedEveryTimeAndTheFileStaysAsItWas) {
  ASSERT_EQ(connect_reason(key_account("a")), 0);
  std::string stored = test_support::read_file(known_hosts());
  // Another server's key for the same host and port.
  test_support::TempDir other;
  SftpServer second(other.path() / "s");
  ASSERT_TRUE(second.started());
  std::string const port = std::to_string(server.port());
  std::string const changed = "[127.0.0.1]:" + port + " " + second.host_key() + "\n";
  test_support::write_file(known_hosts(), changed);
  engine_test::LogLines log;
  for (int attempt = 0; attempt < 2; ++attempt)
    EXPECT_EQ(connect_reason(key_account("a")), FileInfoResult::server_not_trusted);
  EXPECT_EQ(test_support::read_file(known_hosts()), changed);
  EXPECT_EQ(log.count(LogLevel::Error, "host_key_changed"), 2u);
}

TEST_F(SessionTrust, PinnedKeysMatchExactly) {
  std::string const key = server.host_key();
  std::string off = key;
  off[off.size() - 5] = off[off.size() - 5] == 'A' ? 'B' : 'A';
  struct Case {
    std::string pinned;
    int reason;
  } const cases[] = {
      {key, 0},
      {key + " comment here", 0},
      {off, FileInfoResult::server_not_trusted},
      {key.substr(0, key.find(' ')) + key.substr(key.find(' ') + 1),
       FileInfoResult::server_not_trusted},
      // The server prefers its ed25519 key; a pinned RSA key must still be the one shown.
      {server.host_key("rsa"), 0},
  };
  for (Case const& c : cases) {
    SshAccount account = key_account("a");
    account.hostKey = c.pinned;
    EXPECT_EQ(connect_reason(account), c.reason) << c.pinned;
  }
  EXPECT_FALSE(fs::exists(known_hosts()));
}

TEST_F(SessionTrust, LoginsWithKeysAndPasswords) {
  SshAccount locked = key_account("a");
  locked.keyFile = server.locked_key().string();
  locked.set_password("keypass");
  SshAccount wrong_phrase = locked;
  wrong_phrase.set_password("nope");
  struct Case {
    char const* what;
    SshAccount account;
    int reason;
  } const cases[] = {
      {"plain key", key_account("a"), 0},
      {"encrypted key", locked, 0},
      {"wrong pass phrase", wrong_phrase, FileInfoResult::authentication_failed},
      {"password", password_account("a", SftpServer::password()), 0},
      {"wrong password", password_account("a", "wrong"), FileInfoResult::authentication_failed},
  };
  for (Case const& c : cases) EXPECT_EQ(connect_reason(c.account), c.reason) << c.what;
}

TEST_F(SessionTrust, KeyFileRefusals) {
  fs::path const dir = data.path();
  test_support::write_file(dir / "empty", "");
  test_support::write_file(dir / "putty", "PuTTY-User-Key-File-3: ssh-ed25519\n");
  test_support::write_file(dir / "public",
                           test_support::read_file(server.client_key().string() + ".pub"));
  test_support::write_file(dir / "other",
                           "-----BEGIN CERTIFICATE-----\nabc\n-----END CERTIFICATE-----\n");
  struct Case {
    fs::path file;
    std::string password;
    std::optional<std::string> refusal;
  } const cases[] = {
      {"", "", std::nullopt},
      {server.client_key(), "", std::nullopt},
      {server.locked_key(), "keypass", std::nullopt},
      {server.locked_key(), "wrong", "ssh_key_passphrase_wrong"},
      {dir / "missing", "", "ssh_key_file_missing"},
      {dir / "empty", "", "ssh_key_file_missing"},
      {dir / "putty", "", "ssh_key_file_putty"},
      {dir / "public", "", "ssh_key_file_public"},
      {dir / "other", "", "ssh_key_file_unknown"},
  };
  for (Case const& c : cases) {
    SshAccount account = key_account("a");
    account.keyFile = c.file.string();
    account.set_password(c.password);
    EXPECT_EQ(ssh_login::key_file_refusal(account), c.refusal) << c.file;
  }
}

TEST_F(SessionTrust, FingerprintsAndFetchedKeys) {
  std::string error;
  EXPECT_EQ(fetch_ssh_host_key(key_account("a"), error), server.host_key());
  std::string const print = host_key_fingerprint(server.host_key());
  EXPECT_EQ(print.rfind("SHA256:", 0), 0u);
  EXPECT_EQ(print.size(), 7u + 43u);
  EXPECT_EQ(host_key_fingerprint("ssh-ed25519 not*base64"), "");
}

TEST_F(SessionTrust, FailedConnectsAreClassified) {
  test_support::SilentListener silent;
  SshAccount unresolvable = key_account("a");
  unresolvable.set_host("no-such-host.invalid");
  auto const started = std::chrono::steady_clock::now();
  EXPECT_EQ(connect_reason(unresolvable), FileInfoResult::network_unavailable);
  EXPECT_EQ(connect_reason(key_account("a", test_support::closed_port())),
            FileInfoResult::server_connect_failed);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  try {
    SftpConnection connection(key_account("a", silent.port()));
    ADD_FAILURE() << "a silent listener was taken for a server";
  } catch (SshUnreachable const& e) {
    EXPECT_EQ(e.reason, FileInfoResult::connection_timeout);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(25));
}

TEST_F(SessionTrust, ThePoolSharesSessionsInsideAScopeOnly) {
  SshAccount const account = key_account("a");
  SshAccount other_port = account;
  other_port.port = server.read_only_port();
  {
    SftpConnection first(account);
    SftpConnection second(account);
    EXPECT_NE(first.ssh(), second.ssh());
  }
  SshSessionScope scope;
  SftpConnection first(account);
  SftpConnection second(other_port);
  EXPECT_EQ(first.ssh(), second.ssh());
  {
    SshSessionScope nested;
    SftpConnection third(account);
    EXPECT_EQ(first.ssh(), third.ssh());
  }
  EXPECT_TRUE(SshSessionScope::active());
  server.kill_connections();
  // The dead session is noticed at the next request and replaced at the next connect.
  EXPECT_FALSE(first.stat("/"));
  SftpConnection fresh(account);
  EXPECT_NE(fresh.ssh(), first.ssh());
  EXPECT_TRUE(fresh.stat("/"));
}

TEST_F(SessionTrust, APhonesAccountWithoutAPinnedKeyIsNeverTrustedOnFirstUse) {
  SshAccount phone = key_account("0123456789abcdef0123456789abcdef");
  Config::instance()->set_device_account(phone);
  std::wstring const path = L"0123456789abcdef0123456789abcdef:/";
  ssh_take_failure_reason();
  EXPECT_FALSE(ssh_exists(path));
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::server_not_trusted);
  EXPECT_THROW(SshFileInspector{phone}, RemoteFailure);
  EXPECT_FALSE(fs::exists(known_hosts()));
  phone.hostKey = server.host_key();
  Config::instance()->set_device_account(phone);
  EXPECT_TRUE(ssh_exists(path));
  Config::instance()->clear_device_account(phone.name());
}

TEST_F(SessionTrust, TheAccountWinsOverTheUsersSshConfig) {
  test_support::write_file(home.path() / ".ssh/config",
                           "Host 127.0.0.1\n  HostName 192.0.2.1\n  Port 1\n  User nobody\n");
  EXPECT_EQ(connect_reason(key_account("a")), 0);
  EXPECT_TRUE(fs::exists(known_hosts()));
}

}  // namespace
