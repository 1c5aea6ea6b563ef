// The real service with a paired phone in its configuration starts the device link at once on
// the fixed port; a scripted phone finds it, pairs a second phone and says hello. Without phones
// no link is tried. These tests use the fixed ports and run alone.
#include "service_fixture.h"
#include "support/fake_phone.h"

namespace {

using namespace service_test;

constexpr int LINK_PORT = 52381;

std::string cli_fingerprint(fs::path const& cert) {
  std::string const out = test_support::run_output("openssl x509 -in '" + cert.string() +
                                                   "' -noout -fingerprint -sha256");
  std::string hex;
  for (char c : out.substr(out.find('=') + 1))
    if (std::isxdigit(static_cast<unsigned char>(c)))
      hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return hex;
}

class DeviceLinkService : public Service {
 protected:
  // The configuration with one paired phone and an item whose target lies on it.
  std::string config_with_phone(std::string const& id, std::string const& fingerprint) const {
    std::string text = config_json({item("to phone", files / "src/a.txt", id + ":/a.txt")});
    text.replace(text.find("\"wildcard\""), 0, "\"targetType\": \"ssh\", ");
    text.replace(text.find("\"Syncitems\""), 0,
                 R"("Devices": {"Device": {"id": ")" + id +
                     R"(", "name": "Phone", "certFingerprint": ")" + fingerprint +
                     R"(", "sshHostKey": ""}},
  )");
    return text;
  }

  test_support::TempDir phones;
};

TEST_F(DeviceLinkService, APhoneFindsTheServicePairsAndSaysHello) {
  test_support::FakePhone phone(phones.path(), "phone");
  ASSERT_FALSE(phone.fingerprint().empty());
  std::string const id(32, 'a');
  test_support::write_file(files / "src/a.txt", "a");
  write_config(config_with_phone(id, phone.fingerprint()));
  start();

  fs::path const port_file = data_dir() / "devicelink.port";
  ASSERT_TRUE(eventually([&] { return fs::exists(port_file); })) << log();
  int const port = std::stoi(test_support::read_file(port_file));
  EXPECT_EQ(port, LINK_PORT) << "the fixed port, unless something else holds it";
  std::string const fingerprint = cli_fingerprint(data_dir() / "device.crt");
  ASSERT_EQ(fingerprint.size(), 64u);

  EXPECT_EQ(phone.discover(LINK_PORT, "KVO-DISCOVER 1 " + fingerprint + "\n"),
            "KVO-HERE 1 " + fingerprint + " " + std::to_string(port));

  auto const hello =
      phone.tls(static_cast<std::uint16_t>(port), R"({"type":"hello","deviceId":")" + id +
                                                      R"(","sftpPort":"0"})"
                                                      "\n");
  ASSERT_TRUE(hello.handshake);
  EXPECT_EQ(hello.server_fingerprint, fingerprint);
  EXPECT_NE(
      hello.reply.find(R"("items":[{"name":"to phone","direction":"toPhone","enabled":true}]})"
                       "\n"
                       R"({"type":"idle"})"
                       "\n"),
      std::string::npos)
      << hello.reply;

  // A front end opened a pairing window in the shared folder.
  std::string const token(32, '7');
  test_support::write_file(data_dir() / "pairing.token",
                           token + " " + std::to_string(std::time(nullptr) + 600) + "\n");
  test_support::FakePhone second(phones.path(), "second");
  std::string const second_id(32, 'b');
  auto const paired =
      second.tls(static_cast<std::uint16_t>(port), R"({"type":"pair","token":")" + token +
                                                       R"(","device":{"id":")" + second_id +
                                                       R"(","name":"Second","sftpPort":"2222"}})"
                                                       "\n");
  EXPECT_EQ(paired.reply.rfind(R"({"type":"paired","pc":{"name":")", 0), 0u) << paired.reply;
  EXPECT_NE(paired.reply.find(fingerprint), std::string::npos);
  EXPECT_EQ(test_support::read_file(data_dir() / "pairing.done"),
            second_id + "\nSecond\n" + second.fingerprint() + "\n\n");
  EXPECT_EQ(second
                .tls(static_cast<std::uint16_t>(port),
                     R"({"type":"hello","deviceId":")" + second_id + "\"}\n")
                .reply.rfind(R"({"type":"items",)", 0),
            0u)
      << "the new phone is paired in the running service";

  EXPECT_EQ(terminate(), 0);
  EXPECT_FALSE(fs::exists(port_file));
  EXPECT_FALSE(fs::exists(data_dir() / "devices.presence"));
}

TEST_F(DeviceLinkService, WithoutPhonesNoLinkIsTried) {
  test_support::write_file(files / "src/a.txt", "a");
  write_config(config_json({item("local", files / "src/a.txt", files / "dst/a.txt")}));
  start();
  ASSERT_TRUE(eventually([&] { return fs::exists(files / "dst/a.txt"); })) << log();
  std::this_thread::sleep_for(1500ms);
  for (char const* name : {"devicelink.port", "devicelink.lock", "device.crt", "device.key"})
    EXPECT_FALSE(fs::exists(data_dir() / name)) << name;
  EXPECT_EQ(terminate(), 0);
}

}  // namespace
