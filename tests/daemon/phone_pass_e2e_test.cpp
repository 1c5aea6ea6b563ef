// The real service serves a paired phone's sync passes: a scripted phone says hello with the
// login of the loopback sshd (password, pinned host key) and asks to be served. The files
// arrive, the phone reads progress and the done line; a phone that leaves early, a stop and a
// reload in the middle of a copy. These tests use the fixed ports and run alone.
#include <pwd.h>

#include <future>

#include "service_fixture.h"
#include "support/fake_phone.h"
#include "support/sftp_server.h"

namespace {

using namespace service_test;
using test_support::SftpServer;

std::string const PHONE_ID = "00112233445566778899aabbccddeeff";

class PhonePassService : public Service {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.started()) << "the loopback sshd did not start";
    ASSERT_FALSE(phone.fingerprint().empty());
    fs::create_directories(phone_root());
    test_support::open_for_everyone(phones.path(), phone_root());
    // The phone's own files belong to the account that its server logs in.
    struct passwd const* user = ::getpwnam(SftpServer::password_user().c_str());
    ASSERT_NE(user, nullptr);
    ASSERT_EQ(::chown(phone_root().c_str(), user->pw_uid, user->pw_gid), 0);
    test_support::write_file(files / "src/Docs/letter.txt", "dear phone");
  }

  fs::path phone_root() const { return phones.path() / "files"; }
  fs::path pc_dir() const { return files / "dst" / "DCIM"; }

  // Two tree items, the phone's DCIM folder to the PC and the PC's Docs folder to the phone,
  // and the phone paired.
  std::string config() const {
    std::string text = config_json(
        {tree_item("DCIM", PHONE_ID + ":" + (phone_root() / "DCIM").string(), pc_dir()),
         tree_item("Docs", files / "src/Docs", PHONE_ID + ":" + (phone_root() / "Docs").string())});
    text.replace(text.find("\"wildcard\""), 0, "\"sourceType\": \"ssh\", ");
    text.replace(text.find("\"wildcard\"", text.find("\"name\": \"Docs\"")), 0,
                 "\"targetType\": \"ssh\", ");
    text.replace(text.find("\"Syncitems\""), 0,
                 R"("Devices": {"Device": {"id": ")" + PHONE_ID +
                     R"(", "name": "Phone", "certFingerprint": ")" + phone.fingerprint() +
                     R"(", "sshHostKey": ")" + json_text(server.host_key()) + R"("}},
  )");
    return text;
  }
  void phone_file(std::string const& name, std::string const& content) const {
    test_support::write_file(phone_root() / "DCIM" / name, content);
    test_support::open_for_everyone(phones.path(), phone_root() / "DCIM");
  }

  // Starts the service and waits for its link.
  void start_service() {
    write_config(config());
    start();
    fs::path const port_file = data_dir() / "devicelink.port";
    ASSERT_TRUE(eventually([&] { return fs::exists(port_file); })) << log();
    port = static_cast<std::uint16_t>(std::stoi(test_support::read_file(port_file)));
  }

  std::string serve(test_support::FakePhone::Options const& options = {}) const {
    std::string const hello = R"({"type":"hello","deviceId":")" + PHONE_ID + R"(","sftpPort":")" +
                              std::to_string(server.port()) + R"(","sftpUser":")" +
                              SftpServer::password_user() + R"(","sftpPassword":")" +
                              SftpServer::password() + R"(","serving":"true","appVersion":"1.0"})" +
                              "\n";
    return phone.tls(port, hello, options).reply;
  }

  // Serves a large phone file and halts the service (SIGSTOP) once its copy began; `pass` gets
  // what the phone read.
  void serve_halted_in_copy(std::future<std::string>& pass) {
    ASSERT_NO_FATAL_FAILURE(write_large_file(phone_root() / "DCIM/big.bin", 64));
    test_support::open_for_everyone(phones.path(), phone_root() / "DCIM");
    ASSERT_NO_FATAL_FAILURE(start_service());
    pass = std::async(std::launch::async, [this] { return serve(); });
    ASSERT_NO_FATAL_FAILURE(halt_when_copying(pc_dir(), 0));
  }

  static std::string last_line(std::string const& reply) {
    std::string text = reply;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') + 1);
  }

  test_support::TempDir phones;
  test_support::TempDir server_dir;
  SftpServer server{server_dir.path() / "server"};
  test_support::FakePhone phone{phones.path() / "phone", "phone"};
  std::uint16_t port = 0;
};

TEST_F(PhonePassService, APhoneIsServedAndMayLeaveBeforeItsPassIsDone) {
  phone_file("a.jpg", "alpha");
  ASSERT_NO_FATAL_FAILURE(start_service());

  std::string const reply = serve();
  EXPECT_NE(reply.find("{\"type\":\"serve\"}\n"), std::string::npos) << reply;
  EXPECT_NE(reply.find("{\"type\":\"progress\",\"done\":2,\"total\":2}\n"
                       "{\"type\":\"done\",\"completed\":true,\"errors\":0}\n"),
            std::string::npos)
      << reply << log();
  EXPECT_EQ(test_support::read_file(pc_dir() / "a.jpg"), "alpha");
  EXPECT_EQ(test_support::read_file(phone_root() / "Docs/letter.txt"), "dear phone");

  // The phone hangs up right after "serve": the pass runs on and the replies fail unnoticed.
  phone_file("b.jpg", "beta");
  test_support::FakePhone::Options leave;
  leave.close_after = "{\"type\":\"serve\"}";
  EXPECT_EQ(last_line(serve(leave)), "{\"type\":\"serve\"}");
  EXPECT_TRUE(eventually([&] { return log_count("Sync pass for phone Phone finished") == 2; }))
      << log();
  EXPECT_EQ(test_support::read_file(pc_dir() / "b.jpg"), "beta");
  ASSERT_TRUE(alive());
  EXPECT_EQ(last_line(serve()), "{\"type\":\"done\",\"completed\":true,\"errors\":0}") << log();

  EXPECT_EQ(log().find(SftpServer::password()), std::string::npos) << "the password was logged";
  EXPECT_EQ(test_support::read_file(config_file()).find(SftpServer::password()), std::string::npos);
  EXPECT_EQ(terminate(), 0);
}

TEST_F(PhonePassService, AStopDuringAPhonesCopyEndsTheServiceAtOnce) {
  std::future<std::string> pass;
  ASSERT_NO_FATAL_FAILURE(serve_halted_in_copy(pass));
  ::kill(pid, SIGTERM);
  ::kill(pid, SIGCONT);
  EXPECT_EQ(terminate(6s), 0) << log();
  // The stop is seen within a second: the copy may have ended meanwhile, or been cut short.
  EXPECT_EQ(last_line(pass.get()).rfind("{\"type\":\"done\",\"completed\":", 0), 0u);
  EXPECT_TRUE(!fs::exists(pc_dir() / "big.bin") ||
              same_content(pc_dir() / "big.bin", phone_root() / "DCIM/big.bin"))
      << "a copy cut short never takes the name";
}

TEST_F(PhonePassService, AReloadDuringAPhonesCopyRunsTheItemAgainBeforeDone) {
  std::future<std::string> pass;
  ASSERT_NO_FATAL_FAILURE(serve_halted_in_copy(pass));
  write_config(config());
  // The daemon thread's second of sleep is over while the service is halted: it sees the new
  // file as soon as it runs again, while the copy still has most of its way to go.
  std::this_thread::sleep_for(1100ms);
  ::kill(pid, SIGCONT);
  EXPECT_EQ(last_line(pass.get()), "{\"type\":\"done\",\"completed\":true,\"errors\":0}") << log();
  EXPECT_TRUE(same_content(pc_dir() / "big.bin", phone_root() / "DCIM/big.bin"));
  EXPECT_EQ(log_count("Configuration read again:"), 1u) << log();
  EXPECT_EQ(terminate(), 0);
}

}  // namespace
