#include "core/crypto/EncryptionKey.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "core/crypto/Age.h"
#include "crypto_fixture.h"

namespace {

namespace age = KVO_Core::age;
namespace key = KVO_Core::encryption_key;
using crypto_test::CryptoHome;
using crypto_test::mode_of;
using crypto_test::set_recipient;
using crypto_test::setting_recipient;
using test_support::read_file;
using test_support::write_file;

constexpr char TITLE[] =
    "# Pellimoravin - key of the encrypted targets. Keep a copy in a safe place.\n";

std::string new_identity() { return age::generate_identity().value(); }

std::string key_text(std::string const& recipient, std::vector<std::string> const& lines) {
  std::string text = std::string(TITLE) + "# public key: " + recipient + "\n";
  for (auto const& line : lines) text += line + "\n";
  return text;
}

using EncryptionKey = CryptoHome;

TEST_F(EncryptionKey, CreateMakesAPrivateFileAndSetsTheRecipient) {
  EXPECT_EQ(key::identity_file(), key_file());
  EXPECT_TRUE(key::identities().empty());
  EXPECT_FALSE(key::recipient());

  ASSERT_TRUE(key::create());
  auto const ids = key::identities();
  ASSERT_EQ(ids.size(), 1u);
  auto const recipient = age::recipient_of(ids[0]).value();
  EXPECT_EQ(key::recipient(), recipient);
  EXPECT_EQ(setting_recipient(), recipient);
  EXPECT_TRUE(KVO_Core::Config::instance()->modified());
  EXPECT_EQ(read_file(key_file()), key_text(recipient, {ids[0]}));
  EXPECT_EQ(std::string(TITLE).size() + std::string("# public key: ").size(), 90u);
  EXPECT_EQ(mode_of(key_file()), 0600u);
  EXPECT_FALSE(std::filesystem::exists(key_file().string() + ".tmp"));

  // A key is there now: nothing changes.
  EXPECT_FALSE(key::create());
  EXPECT_EQ(key::identities(), ids);
}

TEST_F(EncryptionKey, CreateDoesNothingWhileTheSettingHoldsARecipient) {
  auto const recipient = age::recipient_of(new_identity()).value();
  set_recipient(recipient);
  write_file(key_file(), "");
  EXPECT_FALSE(key::create());
  EXPECT_EQ(read_file(key_file()), "");
  EXPECT_EQ(setting_recipient(), recipient);
}

TEST_F(EncryptionKey, AdoptPutsTheKeyFirstAndKeepsEverythingElse) {
  std::string const older = new_identity(), old = new_identity(), adopted = new_identity();
  std::string const indented = "  " + older;
  std::string const broken = "AGE-SECRET-KEY-1THISISNOTAVALIDKEY";
  write_file(key_file(), "# created: 2024-01-01T00:00:00Z\n" + old + "\r\n" + indented +
                             "\n\nnotes of mine\n" + broken + "\n" + older);
  ASSERT_EQ(key::identities(), (std::vector<std::string>{old, older}));

  // Adopting in lower case stores upper case, once, at the top.
  std::string lower = adopted;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_TRUE(key::adopt("  " + lower + "\n"));
  auto const recipient = age::recipient_of(adopted).value();
  EXPECT_EQ(setting_recipient(), recipient);
  EXPECT_EQ(read_file(key_file()),
            key_text(recipient, {adopted, old, older, "# created: 2024-01-01T00:00:00Z", indented,
                                 "", "notes of mine", broken}));

  // Adopting one the file holds moves it up; it is never held twice, nothing else is lost.
  ASSERT_TRUE(key::adopt(old));
  EXPECT_EQ(key::identities(), (std::vector<std::string>{old, adopted, older}));
  EXPECT_EQ(read_file(key_file()), key_text(age::recipient_of(old).value(),
                                            {old, adopted, older, "# created: 2024-01-01T00:00:00Z",
                                             indented, "", "notes of mine", broken}));

  EXPECT_FALSE(key::adopt("AGE-SECRET-KEY-1NOPE"));
  EXPECT_FALSE(key::adopt(age::recipient_of(old).value()));
  EXPECT_EQ(key::identity(), old);
}

TEST_F(EncryptionKey, TheRecipientInEffectIsTheSetting) {
  std::string const mine = new_identity();
  std::string const other = age::recipient_of(new_identity()).value();
  write_file(key_file(), key_text(age::recipient_of(mine).value(), {mine}));
  set_recipient(other);
  EXPECT_EQ(key::recipient(), other);
  set_recipient("age1notvalid");
  EXPECT_FALSE(key::recipient());
}

TEST_F(EncryptionKey, AFileThatCannotBeReadIsNeverOverwritten) {
  // A key file in place that cannot be read (here a folder holding a key of its own).
  std::filesystem::create_directories(key_file());
  write_file(key_file() / "inside", "keep me");
  set_recipient("");
  EXPECT_TRUE(key::identities().empty());
  EXPECT_FALSE(key::create());
  EXPECT_FALSE(key::adopt(new_identity()));
  EXPECT_EQ(read_file(key_file() / "inside"), "keep me");
  EXPECT_EQ(setting_recipient(), "");
}

TEST_F(EncryptionKey, AFailedWriteLeavesTheOldFileAndTheSetting) {
  std::string const old = new_identity();
  std::string const before = key_text(age::recipient_of(old).value(), {old, "# mine"});
  write_file(key_file(), before);
  ::chmod(key_file().c_str(), 0644);
  auto const recipient = age::recipient_of(old).value();
  set_recipient(recipient);
  // Something that is not ours blocks the temporary name, so the write cannot happen.
  std::filesystem::create_directories(key_file().string() + ".tmp");

  EXPECT_FALSE(key::adopt(new_identity()));
  EXPECT_EQ(read_file(key_file()), before);
  EXPECT_EQ(setting_recipient(), recipient);

  std::filesystem::remove(key_file().string() + ".tmp");
  ASSERT_TRUE(key::adopt(new_identity()));
  EXPECT_EQ(key::identities().size(), 2u);
  EXPECT_EQ(mode_of(key_file()), 0600u);
}

}  // namespace
