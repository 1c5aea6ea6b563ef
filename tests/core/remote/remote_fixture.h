// A loopback SFTP server per test, HOME in a temp folder (known_hosts lands there, never in the
// real ~/.ssh) and accounts in the configuration that name it.
#pragma once

#include <filesystem>
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "core/config/Config.h"
#include "core/remote/RemoteOps.h"
#include "support/sftp_server.h"
#include "support/temp_dir.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"

namespace remote_test {

namespace fs = std::filesystem;
using test_support::SftpServer;

// Bytes that differ for every size and seed.
inline std::string random_bytes(std::size_t size, unsigned seed = 0) {
  std::mt19937 generator(static_cast<unsigned>(size) + seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

// Names in a folder, to show that nothing but the expected files is left there.
inline std::set<std::string> names_in(fs::path const& dir) {
  std::set<std::string> names;
  for (auto const& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

// An account for root with the server's client key, on the given port (default read-write).
inline KVO_Core::SshAccount root_account(std::string const& name, SftpServer const& server,
                                         std::uint16_t port = 0) {
  KVO_Core::SshAccount account;
  account.set_name(name);
  account.set_user("root");
  account.set_host("127.0.0.1");
  account.port = port ? port : server.port();
  account.keyFile = server.client_key().string();
  return account;
}

class RemoteTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.started()) << "the loopback sshd did not start"; }
  void TearDown() override {
    for (std::string const& name : added_) {
      auto const all = KVO_Core::Config::instance()->ssh_accounts_snapshot();
      for (std::size_t i = 0; i < all.size(); ++i)
        if (all[i].name() == name) {
          KVO_Core::Config::instance()->remove_ssh_account(i);
          break;
        }
    }
  }

  KVO_Core::SshAccount key_account(std::string const& name, std::uint16_t port = 0) {
    return root_account(name, server, port);
  }
  // Adds "nas" on the port of a shim mode: "pass" talks to the server itself, the other modes
  // go through sftp_shim.py.
  void add_through_shim(std::string const& mode) {
    server.set_shim_mode(mode);
    add(key_account("nas", mode == "pass" ? server.port() : server.shim_port()));
  }
  KVO_Core::SshAccount password_account(std::string const& name, std::string const& password) {
    KVO_Core::SshAccount account = key_account(name);
    account.set_user(SftpServer::password_user());
    account.keyFile.clear();
    account.set_password(password);
    return account;
  }
  void add(KVO_Core::SshAccount const& account) {
    KVO_Core::Config::instance()->add(account, true);
    added_.push_back(account.name());
  }
  // "name:" and the absolute path of a file in the data folder.
  std::wstring remote(std::string const& name, fs::path const& p) const {
    return Utilities::util::string_to_wstring(name + ":" + p.string());
  }
  fs::path known_hosts() const { return home.path() / ".ssh" / "known_hosts"; }

  test_support::TempDir home;
  test_support::ScopedEnv home_env{"HOME", home.path().c_str()};
  test_support::TempDir server_dir;
  SftpServer server{server_dir.path() / "server"};
  test_support::TempDir data;

 private:
  std::vector<std::string> added_;
};

}  // namespace remote_test
