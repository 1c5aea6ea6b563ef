// The real service with SFTP on both sides of an item (one account, and two servers), and with
// a server that stops answering mid-pass (SIGSTOP): the pass ends with the failure on record,
// a stop request ends the service within seconds, and once the server answers again the next
// pass completes.
#include "sftp_service_fixture.h"

namespace {

using namespace service_test;

class SftpServers : public SftpService {
 protected:
  void SetUp() override {
    SftpService::SetUp();
    ASSERT_TRUE(other.started()) << "the second loopback sshd did not start";
  }
  Account far_account() const {
    Account a = key_account("far");
    a.port = other.port();
    a.key_file = other.client_key().string();
    return a;
  }
  fs::path const from() const { return remote_root() / "from"; }

  test_support::TempDir other_dir;
  test_support::SftpServer other{other_dir.path() / "server"};
};

TEST_F(SftpServers, ItemsBetweenServersFollowTheirSource) {
  test_support::write_file(from() / "a.txt", "alpha");
  test_support::write_file(from() / "sub/b.txt", "beta");
  write_large_file(from() / "sub/big.bin", 3);
  fs::path const within = remote_root() / "within";
  fs::path const between = remote_root() / "between";
  write_config(config_with_accounts(
      {tree_item("within", "nas:" + from().string(), "nas:" + within.string()),
       tree_item("between", "nas:" + from().string(), "far:" + between.string())},
      {key_account("nas"), far_account()}));
  start();
  for (fs::path const& copy : {within, between})
    EXPECT_TRUE(eventually([&] { return tree_of(copy) == tree_of(from()); }, 60s)) << copy << "\n"
                                                                                   << log();
  EXPECT_TRUE(eventually([&] { return fs::exists(status_file("between")); })) << log();
  EXPECT_EQ(status_of("between")["errors"], "0") << log();
  std::size_t const copies = log_count("\tCopied");
  EXPECT_EQ(copies, 6u) << log();
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(log_count("\tCopied"), copies) << "a second pass copied again\n" << log();

  test_support::write_file(from() / "a.txt", "alpha, edited");
  fs::last_write_time(from() / "a.txt", fs::last_write_time(from() / "a.txt") + 10s);
  for (fs::path const& copy : {within, between})
    EXPECT_TRUE(eventually([&] { return tree_of(copy) == tree_of(from()); }, 30s)) << copy << "\n"
                                                                                   << log();
  EXPECT_FALSE(staging_left(remote_root()));
  EXPECT_EQ(terminate(), 0);
}

// 200 files pushed to a server that is halted (listener and sessions) once some have arrived.
class HungServer : public SftpService {
 protected:
  void SetUp() override {
    SftpService::SetUp();
    for (int i = 0; i < 200; ++i)
      test_support::write_file(src() / ("f" + std::to_string(i)), std::string(32768, 'a' + i % 26));
    // 1 MiB/s: the pass takes about six seconds, time enough to halt the server midway.
    write_config(config_with_accounts({tree_item("push", src(), "nas:" + dst().string())},
                                      {key_account("nas")}, R"(, "TransferLimitKB": "1024")"));
    start();
    ASSERT_TRUE(eventually([&] { return fs::exists(dst()) && tree_of(dst()).size() >= 30; }, 30s))
        << log();
    server.suspend();
    halted_at = std::chrono::steady_clock::now();
  }
  fs::path src() const { return files / "src"; }
  fs::path dst() const { return remote_root() / "dst"; }
  std::chrono::seconds since_halt() const {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                            halted_at);
  }

  std::chrono::steady_clock::time_point halted_at;
};

TEST_F(HungServer, CannotHoldAPassAndTheNextPassCompletesOnceItAnswers) {
  EXPECT_TRUE(eventually([&] { return fs::exists(status_file("push")); }, 90s)) << log();
  EXPECT_LE(since_halt().count(), 75) << "the pass waited on the halted server\n" << log();
  std::map<std::string, std::string> status = status_of("push");
  EXPECT_TRUE(status["errors"] != "0" || status["reachable"] == "0") << log();
  EXPECT_LT(tree_of(dst()).size(), 200u) << "the server was halted too late";

  server.resume();
  EXPECT_TRUE(eventually([&] { return tree_of(dst()) == tree_of(src()); }, 90s)) << log();
  EXPECT_TRUE(eventually([&] { return !staging_left(dst()); }, 30s)) << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(HungServer, AStopEndsTheServiceWhileTheServerSaysNothing) {
  std::this_thread::sleep_for(2s);  // the service now waits on the halted server
  auto const asked = std::chrono::steady_clock::now();
  // One blocked wait of libssh (15 s) cannot be cut short; the sanitizer build adds to it.
  EXPECT_EQ(terminate(45s), 0) << log();
  EXPECT_LE(std::chrono::steady_clock::now() - asked, 35s) << log();
}

}  // namespace
