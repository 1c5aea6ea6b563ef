// Pairing windows and their tokens, offers, the hand-over of a new pairing, and the JSON text of
// replies.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>

#include "core/config/Config.h"
#include "core/devicelink/DeviceLink.h"
#include "core/devicelink/DevicePairing.h"
#include "core/devicelink/LinkJson.h"
#include "support/scoped_mount.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using KVO_Core::DevicePairing;

class PairingTest : public ::testing::Test {
 protected:
  PairingTest() { pairing.set_dir(dir.path()); }
  fs::path token_file() const { return dir / "pairing.token"; }
  void write_window(std::string const& token, std::int64_t expiry) {
    test_support::write_file(token_file(), token + " " + std::to_string(expiry) + "\n");
  }

  test_support::TempDir dir;
  DevicePairing pairing;
};

TEST_F(PairingTest, BeginOpensATenMinuteWindowInAPrivateFile) {
  std::time_t const before = std::time(nullptr);
  std::string const token = pairing.begin();
  ASSERT_EQ(token.size(), 32u);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(token_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  std::string const line = test_support::read_file(token_file());
  EXPECT_EQ(line.substr(0, 33), token + " ");
  std::int64_t const expiry = std::stoll(line.substr(33));
  EXPECT_GE(expiry, before + 600);
  EXPECT_LE(expiry, std::time(nullptr) + 600);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_TRUE(pairing.open());
  EXPECT_EQ(pairing.token(), token);
  EXPECT_EQ(pairing.expires(), expiry);
  EXPECT_NE(pairing.begin(), token);

  write_window(token, std::time(nullptr));
  EXPECT_FALSE(pairing.open()) << "expired";
  EXPECT_EQ(pairing.token(), "");
  EXPECT_TRUE(fs::exists(token_file()));
  for (char const* damaged : {"", "abc", "abc def\n", "\n\n"}) {
    test_support::write_file(token_file(), damaged);
    EXPECT_FALSE(pairing.open()) << damaged;
  }
  pairing.begin();
  pairing.end();
  EXPECT_FALSE(fs::exists(token_file()));
}

TEST_F(PairingTest, ATokenPairsOnceAndFiveWrongTokensCloseTheWindow) {
  std::string token = pairing.begin();
  EXPECT_TRUE(pairing.redeem(token));
  EXPECT_FALSE(pairing.redeem(token));
  EXPECT_FALSE(fs::exists(token_file()));

  token = pairing.begin();
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(pairing.redeem(std::string(32, '0')));
  EXPECT_TRUE(pairing.open()) << "four wrong tokens";
  EXPECT_FALSE(pairing.redeem(std::string(32, '0')));
  EXPECT_FALSE(pairing.open()) << "the fifth closes";
  EXPECT_FALSE(pairing.redeem(token));
  EXPECT_FALSE(pairing.redeem(token.substr(0, 31))) << "a prefix is no token";
}

TEST_F(PairingTest, AWindowWhoseFileCannotBeRemovedStillClosesForGood) {
  test_support::ScopedTmpfs mount(dir / "window", "size=64k");
  ASSERT_TRUE(mount.ok()) << mount.error();
  pairing.set_dir(dir / "window");
  for (bool guessed : {false, true}) {
    ASSERT_TRUE(mount.remount("rw"));
    std::string const token = pairing.begin();
    ASSERT_TRUE(mount.remount("ro"));
    if (guessed) {
      for (int i = 0; i < 5; ++i) EXPECT_FALSE(pairing.redeem(std::string(32, '1')));
    } else {
      EXPECT_TRUE(pairing.redeem(token));
    }
    EXPECT_TRUE(fs::exists(dir / "window/pairing.token"));
    EXPECT_FALSE(pairing.open()) << guessed;
    EXPECT_FALSE(pairing.redeem(token)) << guessed;
  }
}

TEST_F(PairingTest, WrongTokensCountAgainstTheWindowTheyWereTriedOn) {
  pairing.begin();
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(pairing.redeem(std::string(32, '2')));
  // A front end in another process opens a new window.
  std::string const fresh(32, 'c');
  write_window(fresh, std::time(nullptr) + 600);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(pairing.redeem(std::string(32, '2')));
  EXPECT_TRUE(pairing.open());
  EXPECT_TRUE(pairing.redeem(fresh));
}

TEST_F(PairingTest, OfferReusesTheOpenWindowAndQrContentWritesTheFragment) {
  auto& link = KVO_Core::DeviceLink::instance();
  link.pairing.set_dir(dir.path());
  auto const first = link.offer();
  ASSERT_EQ(first.token.size(), 32u);
  EXPECT_GT(first.expires, std::time(nullptr));
  auto const second = link.offer();
  EXPECT_EQ(second.token, first.token);
  EXPECT_EQ(second.expires, first.expires);
  EXPECT_FALSE(first.name.empty());
  for (auto const& address : first.addresses) EXPECT_NE(address, "127.0.0.1");
  link.pairing.end();

  KVO_Core::PairingOffer offer{"My PC", {"192.168.1.5", "10.0.0.2"}, 52381, "F", "T", 1234};
  std::string const qr = KVO_Core::qr_content(offer);
  EXPECT_EQ(qr.substr(0, 8), "https://");
  EXPECT_EQ(qr.substr(qr.find('#')),
            "#v=1&n=My%20PC&a=192.168.1.5,10.0.0.2&p=52381&f=F&t=T&e=1234");
}

TEST_F(PairingTest, TakePairedMovesTheHandOverIntoTheConfiguration) {
  test_support::ScopedEnv home("HOME", dir.path().c_str());
  test_support::ScopedEnv tmp("TMPDIR", dir.path().c_str());
  auto* config = KVO_Core::Config::instance();
  config->reset();
  auto& link = KVO_Core::DeviceLink::instance();
  KVO_Core::DeviceLink::use_private_scope();
  ASSERT_TRUE(link.start(dir.path(), 0, 0));  // the hand-over folder stays after the stop
  link.stop();
  fs::path const done = dir / "pairing.done";
  std::string const id(32, 'a');

  test_support::write_file(done, id + "\nPhone\nFP\n");
  EXPECT_FALSE(link.take_paired());
  EXPECT_TRUE(fs::exists(done)) << "three lines: left for the writer to finish";
  test_support::write_file(done, "NOT-AN-ID\nPhone\nFP\n\n");
  EXPECT_FALSE(link.take_paired());
  EXPECT_FALSE(fs::exists(done));
  test_support::write_file(done, id + "\nPhone\nFP\n\nextra\n");
  auto const device = link.take_paired();
  ASSERT_TRUE(device);
  EXPECT_EQ(*device, (KVO_Core::Device{id, "Phone", "FP", ""}));
  EXPECT_EQ(config->find_device(id), *device);
  EXPECT_FALSE(fs::exists(done));
  config->reset();
}

TEST(LinkJson, StringsEscapeOnlyWhatJsonRequires) {
  struct Case {
    std::string text;
    std::string json;
  };
  Case const cases[] = {
      {"plain", "\"plain\""},
      {"a\tb\nc\rd", "\"a\\tb\\nc\\rd\""},
      {"\"\\", "\"\\\"\\\\\""},
      {std::string("\x01\x1f", 2), "\"\\u0001\\u001f\""},
      {"\x7f\xc3\xa4", "\"\x7f\xc3\xa4\""},
      {"/", "\"/\""},
  };
  for (Case const& c : cases) EXPECT_EQ(KVO_Core::link_json::string(c.text), c.json) << c.text;
  EXPECT_EQ(KVO_Core::link_json::error_line("bad_request"),
            "{\"type\":\"error\",\"reason\":\"bad_request\"}\n");
}

}  // namespace
