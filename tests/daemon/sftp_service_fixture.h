// The loopback sshd's accounts in a service configuration: an "SshAccounts" section, and the
// item sides that name an account marked as remote.
#pragma once

#include <string>
#include <vector>

#include "service_fixture.h"
#include "support/sftp_server.h"
#include "support/temp_dir.h"

namespace service_test {

struct Account {
  std::string name;
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  std::string user = "root";
  std::string key_file;
  std::string password;
  std::string host_key;
};

inline std::string account_json(Account const& a) {
  std::string text = R"({"name": ")" + json_text(a.name) + R"(", "host": ")" + json_text(a.host) +
                     R"(", "user": ")" + json_text(a.user) + R"(", "port": ")" +
                     std::to_string(a.port) + R"(", "hostKey": ")" + json_text(a.host_key) +
                     R"(", "password": ")" + json_text(a.password) + "\"";
  if (!a.key_file.empty()) text += R"(, "keyFile": ")" + json_text(a.key_file) + "\"";
  return text + "}";
}

// The configuration of the items with an "SshAccounts" section for the accounts; an item side
// that names an account reads it from there.
inline std::string config_with_accounts(std::vector<Item> const& items,
                                        std::vector<Account> const& accounts,
                                        std::string const& extra_settings = "") {
  std::string text = config_json(items, extra_settings);
  std::string section = "\n  \"SshAccounts\": [";
  for (std::size_t i = 0; i < accounts.size(); ++i)
    section += (i ? ",\n    " : "\n    ") + account_json(accounts[i]);
  section += "],";
  text.insert(text.find("\n  \"Syncitems\""), section);
  // Sides on an account are marked as such.
  for (Account const& a : accounts) {
    for (std::string const side : {"source", "target"}) {
      std::string const from = "\"" + side + "\": \"" + json_text(a.name) + ":";
      for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + 30))
        text.insert(at, "\"" + side + "Type\": \"ssh\", ");
    }
  }
  return text;
}

// Whether a staging file is left anywhere below root.
inline bool staging_left(fs::path const& root) {
  for (auto const& [name, content] : tree_of(root))
    if (name.find(".kvo-part") != std::string::npos) return true;
  return false;
}

// The service with a loopback sshd of the test's own; remote_root() is a folder it serves.
class SftpService : public Service {
 protected:
  void SetUp() override { ASSERT_TRUE(server.started()) << "the loopback sshd did not start"; }
  Account key_account(std::string const& name) const {
    Account a;
    a.name = name;
    a.port = server.port();
    a.key_file = server.client_key().string();
    return a;
  }
  fs::path remote_root() const { return remote.path(); }

  test_support::TempDir server_dir;
  test_support::SftpServer server{server_dir.path() / "server"};
  test_support::TempDir remote;
};

}  // namespace service_test
