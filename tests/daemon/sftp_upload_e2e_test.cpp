// The real service writing to an SFTP folder on the loopback sshd: a local tree follows to the
// server (edits, renames, deletions), a second pass copies nothing, a moving item removes its
// sources only once they are on the server, a two-way item brings server edits back with their
// mode and time, backup versions stay on the server, and a server that dies mid-upload or
// refuses writes leaves the old files whole.
#include <sys/stat.h>

#include "sftp_service_fixture.h"
#include "support/scoped_mount.h"

namespace {

using namespace service_test;

// SFTP carries whole seconds.
auto seconds_of(fs::path const& p) {
  return std::chrono::floor<std::chrono::seconds>(fs::last_write_time(p));
}

class SftpUpload : public SftpService {
 protected:
  fs::path const src() const { return files / "src"; }
  fs::path const dst() const { return remote_root() / "dst"; }
  std::string target() const { return "nas:" + dst().string(); }
};

// The configuration with backup versions (five) kept for every item.
std::string with_versions(std::string text) {
  std::string const off = R"("fatherSonPrinciple": "false")";
  for (auto at = text.find(off); at != std::string::npos; at = text.find(off, at))
    text.replace(at, off.size(), R"("fatherSonPrinciple": "true", "maxGenerations": "5")");
  return text;
}

TEST_F(SftpUpload, ALocalTreeFollowsToTheServer) {
  test_support::write_file(src() / "a.txt", "alpha");
  test_support::write_file(src() / "sub/b.txt", "beta");
  write_large_file(src() / "sub/big.bin", 3);
  ::chmod((src() / "a.txt").c_str(), 0640);
  Item item = tree_item("push", src(), target(), false, R"(, "syncDeletions": "true")");
  write_config(config_with_accounts({item}, {key_account("nas")}));
  start();
  ASSERT_TRUE(eventually([&] { return tree_of(dst()) == tree_of(src()); }, 30s)) << log();
  EXPECT_EQ(mode_of(dst() / "a.txt"), 0640u);
  EXPECT_EQ(seconds_of(dst() / "sub/big.bin"), seconds_of(src() / "sub/big.bin"));
  EXPECT_TRUE(eventually([&] { return status_of("push")["reachable"] == "1"; })) << log();
  std::size_t const copies = log_count("\tCopied");
  EXPECT_EQ(copies, 3u) << log();
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(log_count("\tCopied"), copies) << "a second pass copied again\n" << log();

  test_support::write_file(src() / "a.txt", "alpha, edited");
  fs::last_write_time(src() / "a.txt", fs::last_write_time(src() / "a.txt") + 10s);
  fs::rename(src() / "sub/b.txt", src() / "sub/c.txt");
  fs::remove(src() / "sub/big.bin");
  EXPECT_TRUE(eventually([&] { return tree_of(dst()) == tree_of(src()); }, 30s)) << log();
  EXPECT_EQ(status_of("push")["errors"], "0") << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(SftpUpload, AMovingItemRemovesItsSourcesOnlyOnceTheyAreOnTheServer) {
  test_support::write_file(src() / "a.txt", "alpha");
  test_support::write_file(src() / "sub/b.txt", "beta");
  Item item = tree_item("move", src(), target());
  item.moving = true;
  write_config(config_with_accounts({item}, {key_account("nas")}));
  start();
  ASSERT_TRUE(eventually([&] { return !fs::exists(src() / "sub/b.txt"); }, 30s)) << log();
  EXPECT_TRUE(eventually([&] { return !fs::exists(src() / "a.txt"); })) << log();
  EXPECT_EQ(test_support::read_file(dst() / "a.txt"), "alpha");
  EXPECT_EQ(test_support::read_file(dst() / "sub/b.txt"), "beta");
  EXPECT_FALSE(staging_left(dst()));
  EXPECT_EQ(terminate(), 0);
}

TEST_F(SftpUpload, TwoWayBringsServerEditsBackWithModeAndTime) {
  test_support::write_file(src() / "a.txt", "alpha");
  write_config(
      config_with_accounts({tree_item("both", src(), target(), true)}, {key_account("nas")}));
  start();
  ASSERT_TRUE(eventually([&] { return fs::exists(dst() / "a.txt"); }, 30s)) << log();
  std::this_thread::sleep_for(2s);
  test_support::write_file(dst() / "a.txt", "alpha, edited on the server");
  ::chmod((dst() / "a.txt").c_str(), 0604);
  auto const when = fs::last_write_time(src() / "a.txt") + 100s;
  fs::last_write_time(dst() / "a.txt", when);
  test_support::write_file(dst() / "new.txt", "made on the server");
  EXPECT_TRUE(eventually([&] { return tree_of(src()) == tree_of(dst()); }, 40s)) << log();
  EXPECT_EQ(mode_of(src() / "a.txt"), 0604u);
  EXPECT_EQ(seconds_of(src() / "a.txt"), std::chrono::floor<std::chrono::seconds>(when));
  EXPECT_EQ(status_of("both")["errors"], "0") << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(SftpUpload, EditsOnBothSidesKeepBothVersionsOnBothSides) {
  test_support::write_file(src() / "a.txt", "first");
  write_config(
      config_with_accounts({tree_item("both", src(), target(), true)}, {key_account("nas")}));
  start();
  ASSERT_TRUE(eventually([&] { return fs::exists(dst() / "a.txt"); }, 30s)) << log();
  std::this_thread::sleep_for(2s);
  test_support::write_file(src() / "a.txt", "edited here");
  test_support::write_file(dst() / "a.txt", "edited on the server, longer");
  fs::last_write_time(dst() / "a.txt", fs::last_write_time(src() / "a.txt") - 10s);
  auto const holds_both = [](fs::path const& folder) {
    std::size_t found = 0;
    for (auto const& [name, content] : tree_of(folder))
      if (content == "edited here" || content == "edited on the server, longer") ++found;
    return found;
  };
  EXPECT_TRUE(eventually([&] { return holds_both(src()) == 2 && holds_both(dst()) == 2; }, 30s))
      << log();
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(holds_both(src()), 2u) << log();
  EXPECT_EQ(holds_both(dst()), 2u) << log();
  EXPECT_FALSE(staging_left(dst()));
  EXPECT_EQ(terminate(), 0);
}

// A server that keeps no times: the file arrives, the report says what was not kept, and the
// next passes do not copy it again and again.
TEST_F(SftpUpload, AServerThatRefusesAttributesGetsTheFileOnce) {
  test_support::write_file(src() / "a.txt", "alpha");
  server.set_shim_mode("nosetstat");
  Account account = key_account("nas");
  account.port = server.shim_port();
  write_config(config_with_accounts({tree_item("push", src(), target())}, {account}));
  start();
  ASSERT_TRUE(eventually([&] { return fs::exists(dst() / "a.txt"); }, 30s)) << log();
  EXPECT_EQ(test_support::read_file(dst() / "a.txt"), "alpha");
  EXPECT_TRUE(eventually([&] { return log_count("Modification time could not be set") >= 1; }))
      << log();
  std::this_thread::sleep_for(4s);
  EXPECT_EQ(log_count("\tCopied"), 1u) << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(SftpUpload, BackupVersionsStayOnTheServer) {
  test_support::write_file(src() / "a.txt", "one");
  write_config(with_versions(
      config_with_accounts({tree_item("versions", src(), target())}, {key_account("nas")})));
  start();
  ASSERT_TRUE(eventually([&] { return fs::exists(dst() / "a.txt"); }, 30s)) << log();
  for (char const* next : {"two", "three"}) {
    std::this_thread::sleep_for(1500ms);
    test_support::write_file(src() / "a.txt", next);
    fs::last_write_time(src() / "a.txt", fs::file_time_type::clock::now() + 5s);
    ASSERT_TRUE(eventually([&] { return test_support::read_file(dst() / "a.txt") == next; }, 30s))
        << log();
  }
  std::map<std::string, std::string> const expected = {
      {"a.txt", "three"}, {"a.txt.bak.1", "one"}, {"a.txt.bak.2", "two"}};
  EXPECT_TRUE(eventually([&] { return tree_of(dst()) == expected; })) << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(SftpUpload, AServerKilledMidUploadKeepsTheOldFileAndTheNextPassCompletes) {
  write_large_file(src() / "big.bin", 12);
  std::string const old = "the old version on the server";
  test_support::write_file(dst() / "big.bin", old);
  fs::last_write_time(dst() / "big.bin", fs::last_write_time(src() / "big.bin") - 3600s);
  // 4 MiB/s: the upload takes three seconds, time enough to end the server's sessions.
  write_config(config_with_accounts({tree_item("push", src(), target())}, {key_account("nas")},
                                    R"(, "TransferLimitKB": "4096")"));
  start();
  ASSERT_TRUE(eventually([&] { return fs::exists(dst() / "big.bin.kvo-part"); }, 30s)) << log();
  server.kill_connections();
  EXPECT_EQ(test_support::read_file(dst() / "big.bin"), old);
  EXPECT_TRUE(eventually([&] { return same_content(dst() / "big.bin", src() / "big.bin"); }, 60s))
      << log();
  EXPECT_TRUE(eventually([&] { return !staging_left(dst()); })) << log();
  EXPECT_EQ(terminate(), 0);
}

// A target server that will not let the service in is recorded as unreachable with its reason,
// and the logins are retried at the reachability back-off, not on every one-second cycle.
TEST_F(SftpUpload, ATargetServerThatRefusesTheLoginIsUnreachableAndNotHammered) {
  test_support::write_file(src() / "a.txt", "alpha");
  Account changed = key_account("changed");
  changed.host_key = test_support::SftpServer(server_dir.path() / "other").host_key();
  Account wrong_password = key_account("password");
  wrong_password.user = test_support::SftpServer::password_user();
  wrong_password.key_file.clear();
  wrong_password.password = "wrong";
  write_config(config_with_accounts({tree_item("changed", src(), "changed:" + dst().string()),
                                     tree_item("password", src(), "password:" + dst().string())},
                                    {changed, wrong_password}));
  start();
  for (char const* name : {"changed", "password"}) {
    EXPECT_TRUE(eventually([&] { return fs::exists(status_file(name)); }, 30s)) << log();
    EXPECT_EQ(status_of(name)["reachable"], "0") << name;
  }
  std::size_t const refused = log_count("Login refused: ");
  std::size_t const untrusted = log_count("The server's host key is not trusted");
  EXPECT_GE(refused, 1u) << log();
  EXPECT_GE(untrusted, 1u) << log();
  std::this_thread::sleep_for(5s);
  EXPECT_LE(log_count("Login refused: "), refused + 1) << log();
  EXPECT_LE(log_count("The server's host key is not trusted"), untrusted + 1) << log();
  EXPECT_FALSE(fs::exists(dst() / "a.txt"));
  EXPECT_EQ(terminate(), 0);
}

// With backup versions kept, the old file is moved aside before the upload: an upload that
// fails puts it back under its own name, and no generation is made of it.
TEST_F(SftpUpload, AFailedUploadWithVersionsPutsTheOldFileBack) {
  test_support::write_file(src() / "a.txt", "new");
  test_support::write_file(dst() / "a.txt", "old");
  fs::last_write_time(dst() / "a.txt", fs::last_write_time(src() / "a.txt") - 3600s);
  server.set_shim_mode("nowrite");
  Account account = key_account("nas");
  account.port = server.shim_port();
  write_config(
      with_versions(config_with_accounts({tree_item("push", src(), target())}, {account})));
  start();
  ASSERT_TRUE(eventually([&] { return status_of("push")["errors"] == "1"; }, 30s)) << log();
  EXPECT_EQ(test_support::read_file(dst() / "a.txt"), "old") << log();
  EXPECT_EQ(names_in(dst()), std::vector<std::string>{"a.txt"}) << log();
  EXPECT_EQ(terminate(), 0);
}

// OpenSSH's read-only mode answers every write with "permission denied", as it would for one
// file the user may not write: each copy fails on its own and reports it.
TEST_F(SftpUpload, AReadOnlyServerFailsEachCopyAndKeepsItsFiles) {
  test_support::write_file(src() / "a.txt", "new");
  test_support::write_file(src() / "b.txt", "new");
  test_support::write_file(dst() / "a.txt", "old");
  fs::last_write_time(dst() / "a.txt", fs::last_write_time(src() / "a.txt") - 3600s);
  Account account = key_account("nas");
  account.port = server.read_only_port();
  write_config(config_with_accounts({tree_item("push", src(), target())}, {account}));
  start();
  ASSERT_TRUE(eventually([&] { return status_of("push")["errors"] == "2"; }, 30s)) << log();
  EXPECT_GE(log_count("Copy failed: Permission denied"), 2u) << log();
  EXPECT_EQ(test_support::read_file(dst() / "a.txt"), "old");
  EXPECT_FALSE(fs::exists(dst() / "b.txt"));
  EXPECT_FALSE(staging_left(dst()));
  EXPECT_EQ(terminate(), 0);
}

// The server's folder on a small file system of the test's own, mounted before the server and
// the service start so that both see it.
class SftpUploadOnTmpfs : public Service {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mount.ok()) << mount.error();
    ASSERT_TRUE(server.started()) << "the loopback sshd did not start";
  }
  test_support::TempDir top;
  test_support::ScopedTmpfs mount{top.path() / "m", "size=2m"};
  test_support::TempDir server_dir;
  test_support::SftpServer server{server_dir.path() / "server"};
};

// The room check finds the shortage before anything on the server is touched, backup versions
// included.
TEST_F(SftpUploadOnTmpfs, AFullDiskKeepsTheOldFileUnderItsNameAndSaysWhy) {
  fs::path const src = files / "src";
  fs::path const dst = mount.path() / "dst";
  write_large_file(src / "big.bin", 3);
  std::string const old(500000, 'o');
  test_support::write_file(dst / "big.bin", old);
  fs::last_write_time(dst / "big.bin", fs::last_write_time(src / "big.bin") - 3600s);
  Account account;
  account.name = "nas";
  account.port = server.port();
  account.key_file = server.client_key().string();
  write_config(with_versions(
      config_with_accounts({tree_item("push", src, "nas:" + dst.string())}, {account})));
  start();
  ASSERT_TRUE(eventually([&] { return log_count("The remote storage is full") >= 1; }, 30s))
      << log();
  EXPECT_TRUE(eventually([&] { return status_of("push")["errors"] != "0"; })) << log();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(test_support::read_file(dst / "big.bin"), old) << log();
  EXPECT_EQ(names_in(dst), std::vector<std::string>{"big.bin"}) << log();
  EXPECT_EQ(terminate(), 0);
}

}  // namespace
