// The real service backing up an SFTP folder on the loopback sshd to a local folder: the tree
// arrives, a second pass copies nothing, edits and deletions on the server follow, a server that
// cannot be used is recorded as unreachable with its reason, and a folder that cannot be listed
// deletes nothing locally.
#include <sys/stat.h>

#include "sftp_service_fixture.h"

namespace {

using namespace service_test;
using test_support::SftpServer;

using SftpBackup = SftpService;

TEST_F(SftpBackup, ARemoteTreeIsBackedUpAndFollowsTheServer) {
  fs::path const src = remote_root() / "src";
  test_support::write_file(src / "a.txt", "alpha");
  test_support::write_file(src / "sub/b.txt", "beta");
  write_large_file(src / "sub/big.bin", 3);
  fs::path const dst = files / "dst" / "pull";
  Item item = tree_item("pull", "nas:" + src.string(), dst, false, R"(, "syncDeletions": "true")");
  write_config(config_with_accounts({item}, {key_account("nas")}));
  start();
  ASSERT_TRUE(eventually([&] { return tree_of(dst) == tree_of(src); }, 30s)) << log();
  EXPECT_TRUE(eventually([&] { return status_of("pull")["reachable"] == "1"; })) << log();
  std::size_t const copies = log_count("\tCopied");
  EXPECT_EQ(copies, 3u) << log();
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(log_count("\tCopied"), copies) << "a second pass copied again\n" << log();

  test_support::write_file(src / "a.txt", "alpha, edited");
  fs::last_write_time(src / "a.txt", fs::last_write_time(src / "a.txt") + 10s);
  fs::remove(src / "sub/b.txt");
  EXPECT_TRUE(eventually([&] { return tree_of(dst) == tree_of(src); }, 30s)) << log();
  EXPECT_EQ(status_of("pull")["errors"], "0") << log();
  EXPECT_TRUE(fs::exists(home.path() / ".ssh/known_hosts"));
  EXPECT_EQ(terminate(), 0);
}

TEST_F(SftpBackup, AServerThatCannotBeUsedIsRecordedAsUnreachableWithItsReason) {
  test_support::SilentListener silent;
  std::uint16_t const closed = test_support::closed_port();
  fs::path const src = remote_root() / "src";
  test_support::write_file(src / "a.txt", "alpha");
  test_support::open_for_everyone(remote_root(), src);

  struct Case {
    Account account;
    std::string reason_text;
  };
  Account changed = key_account("changed");
  changed.host_key = SftpServer(server_dir.path() / "other").host_key();
  Account wrong_password = key_account("password");
  wrong_password.user = SftpServer::password_user();
  wrong_password.key_file.clear();
  wrong_password.password = "wrong";
  Account unresolvable = key_account("unresolvable");
  unresolvable.host = "no-such-host.invalid";
  Account refused = key_account("refused");
  refused.port = closed;
  Account quiet = key_account("silent");
  quiet.port = silent.port();
  std::vector<Case> const cases = {
      {changed, "The server's host key is not trusted"}, {wrong_password, "Login refused: "},
      {unresolvable, "No connection to the server: "},   {refused, "No connection to the server: "},
      {quiet, "No connection to the server: "},
  };
  std::vector<Item> items;
  std::vector<Account> accounts;
  for (Case const& c : cases) {
    items.push_back(tree_item(c.account.name, c.account.name + ":" + src.string(),
                              files / "dst" / c.account.name));
    accounts.push_back(c.account);
  }
  write_config(config_with_accounts(items, accounts));
  start();
  for (Case const& c : cases) {
    SCOPED_TRACE(c.account.name);
    EXPECT_TRUE(eventually([&] { return fs::exists(status_file(c.account.name)); }, 60s)) << log();
    EXPECT_EQ(status_of(c.account.name)["reachable"], "0");
    EXPECT_FALSE(fs::exists(files / "dst" / c.account.name / "a.txt"));
  }
  for (Case const& c : cases)
    EXPECT_GE(log_count(c.reason_text), 1u) << c.reason_text << "\n" << log();
  EXPECT_GE(log_count("The server's host key has changed"), 1u) << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(SftpBackup, AFolderThatCannotBeListedDeletesNothingLocally) {
  fs::path const src = remote_root() / "src";
  test_support::write_file(src / "a.txt", "alpha");
  test_support::write_file(src / "sub/b.txt", "beta");
  test_support::open_for_everyone(remote_root(), src);
  test_support::open_for_everyone(remote_root(), src / "sub");
  Account account = key_account("nas");
  account.user = SftpServer::password_user();
  account.key_file.clear();
  account.password = SftpServer::password();
  fs::path const dst = files / "dst" / "pull";
  Item item = tree_item("pull", "nas:" + src.string(), dst, false, R"(, "syncDeletions": "true")");
  write_config(config_with_accounts({item}, {account}));
  start();
  ASSERT_TRUE(eventually([&] { return tree_of(dst) == tree_of(src); }, 30s)) << log();
  ASSERT_EQ(::chmod((src / "sub").c_str(), 0700), 0);
  test_support::write_file(src / "c.txt", "gamma");
  EXPECT_TRUE(eventually([&] { return fs::exists(dst / "c.txt"); }, 30s)) << log();
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(test_support::read_file(dst / "sub/b.txt"), "beta") << log();
  EXPECT_GE(log_count("Remote folder cannot be opened"), 1u) << log();
  EXPECT_EQ(terminate(), 0);
}

}  // namespace
