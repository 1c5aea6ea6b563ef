#include "core/crypto/TargetEncryption.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "core/config/SyncItem.h"
#include "core/crypto/Age.h"
#include "core/crypto/EncryptionKey.h"
#include "crypto_fixture.h"
#include "utilities/Translation.h"

namespace {

namespace age = KVO_Core::age;
namespace te = KVO_Core::target_encryption;
namespace key = KVO_Core::encryption_key;
using crypto_test::CryptoHome;
using crypto_test::mode_of;
using crypto_test::set_recipient;
using test_support::read_file;
using test_support::write_file;

std::vector<std::string> names_in(std::filesystem::path const& folder) {
  std::vector<std::string> names;
  for (auto const& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class TargetEncryption : public CryptoHome {
 protected:
  // Stores identities newest first and makes the first one's recipient the setting.
  void store_keys(std::vector<std::string> const& identities) {
    for (auto it = identities.rbegin(); it != identities.rend(); ++it) ASSERT_TRUE(key::adopt(*it));
  }
  std::filesystem::path dir = work.path();
};

TEST_F(TargetEncryption, RefusalNamesTheFirstPreconditionThatFails) {
  using KVO_Core::SyncItem;
  auto item = [](bool encrypt, bool two_way, bool track_moves, std::wstring source) {
    SyncItem it(L"item", KVO_Core::SyncItemType::Tree, source, L"/target", L"");
    it.flags.encryptTarget = encrypt;
    it.flags.twoWaySync = two_way;
    it.flags.trackMoves = track_moves;
    return it;
  };
  KVO_Core::SshAccount account;
  account.set_name("box");
  SyncItem remote = item(true, false, false, L"/source");
  remote.set_source(std::make_unique<KVO_Core::SshPath>(account, L"box:/data"));
  namespace tr = Utilities::translation;
  struct Row {
    char const* name;
    SyncItem item;
    std::optional<std::wstring> refusal;
  };
  std::vector<Row> rows;
  rows.push_back({"not encrypted", item(false, true, true, L"/source"), std::nullopt});
  rows.push_back({"two-way wins", item(true, true, true, L"/source"),
                  tr::translate("encryption_not_with_two_way")});
  rows.push_back({"moves tracked", item(true, false, true, L"/source"),
                  tr::translate("encryption_not_with_track_moves")});
  rows.push_back({"remote source", remote, tr::translate("encryption_needs_local_source")});
  rows.push_back({"no recipient", item(true, false, false, L"/source"),
                  tr::translate("encryption_key_missing")});
  for (auto const& row : rows) EXPECT_EQ(te::refusal(row.item), row.refusal) << row.name;

  // Only the setting counts, not the key file.
  set_recipient(age::recipient_of(age::generate_identity().value()).value());
  EXPECT_EQ(te::refusal(item(true, false, false, L"/source")), std::nullopt);
}

TEST_F(TargetEncryption, EncryptWithoutRecipientOrSourceCreatesNothing) {
  write_file(dir / "plain", "data");
  EXPECT_EQ(te::encrypt_file(dir / "plain", dir / "out.age", {}), age::Failed);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.age"));
  ASSERT_TRUE(key::create());
  EXPECT_EQ(te::encrypt_file(dir / "missing", dir / "out.age", {}), age::ReadFailed);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.age"));
  EXPECT_EQ(te::encrypt_file(dir / "plain", dir / "no/such/folder/out.age", {}), age::WriteFailed);
  // A link at the target is not written through.
  write_file(dir / "elsewhere", "untouched");
  std::filesystem::create_symlink(dir / "elsewhere", dir / "link.age");
  EXPECT_EQ(te::encrypt_file(dir / "plain", dir / "link.age", {}), age::WriteFailed);
  EXPECT_EQ(read_file(dir / "elsewhere"), "untouched");
}

TEST_F(TargetEncryption, DecryptTriesEveryIdentityAndLeavesNothingOnFailure) {
  std::string const first = age::generate_identity().value();
  std::string const second = age::generate_identity().value();
  write_file(dir / "plain", "the content");
  write_file(key_file(), "");
  set_recipient(age::recipient_of(second).value());
  ASSERT_EQ(te::encrypt_file(dir / "plain", dir / "enc", {}), age::Ok);

  // No identity: WrongKey, and nothing is created.
  EXPECT_EQ(te::decrypt_file(dir / "enc", dir / "out", {}), age::WrongKey);
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));

  store_keys({first, second});
  EXPECT_EQ(te::decrypt_file(dir / "enc", dir / "out", {}), age::Ok);
  EXPECT_EQ(read_file(dir / "out"), "the content");

  // A name too long for a staging suffix still decrypts, through a short staging name.
  std::string const long_name(250, 'n');
  EXPECT_EQ(te::decrypt_file(dir / "enc", dir / long_name, {}), age::Ok);
  EXPECT_EQ(read_file(dir / long_name), "the content");
  std::filesystem::remove(dir / long_name);

  // An existing file is never replaced.
  write_file(dir / "taken", "mine");
  EXPECT_EQ(te::decrypt_file(dir / "enc", dir / "taken", {}), age::WriteFailed);
  EXPECT_EQ(read_file(dir / "taken"), "mine");

  // A stop request leaves nothing either.
  EXPECT_EQ(te::decrypt_file(dir / "enc", dir / "stopped", [](std::uint64_t) { return false; }),
            age::Cancelled);
  EXPECT_EQ(te::decrypt_file(dir / "missing", dir / "none", {}), age::ReadFailed);
  EXPECT_EQ(names_in(dir), (std::vector<std::string>{"enc", "out", "plain", "taken", "tmp"}));
}

TEST_F(TargetEncryption, HoldsComparesWithoutWriting) {
  ASSERT_TRUE(key::create());
  std::string const content(70000, 'x');
  write_file(dir / "plain", content);
  ASSERT_EQ(te::encrypt_file(dir / "plain", dir / "enc", {}), age::Ok);
  write_file(dir / "longer", content + "y");
  write_file(dir / "shorter", content.substr(1));
  std::string changed = content;
  changed[66000] = 'z';
  write_file(dir / "changed", changed);
  write_file(dir / "not-age", std::string(200, 'a'));
  std::string damaged = read_file(dir / "enc");
  damaged[300] ^= 1;
  write_file(dir / "damaged", damaged);

  struct Row {
    char const* encrypted;
    char const* plain;
    std::pair<bool, bool> answer;  // equal, decided
  };
  for (Row row : std::vector<Row>{{"enc", "plain", {true, true}},
                                  {"enc", "longer", {false, true}},
                                  {"enc", "shorter", {false, true}},
                                  {"enc", "changed", {false, true}},
                                  {"damaged", "plain", {false, true}},
                                  {"not-age", "plain", {false, true}},
                                  {"enc", "missing", {false, false}},
                                  {"missing", "plain", {false, false}}})
    EXPECT_EQ(te::holds(dir / row.encrypted, dir / row.plain), row.answer)
        << row.encrypted << " " << row.plain;

  // No stored identity fits: undecided.
  std::string const other = age::generate_identity().value();
  write_file(key_file(), other + "\n");
  EXPECT_EQ(te::holds(dir / "enc", dir / "plain"), std::make_pair(false, false));
  write_file(key_file(), "");
  EXPECT_EQ(te::holds(dir / "enc", dir / "plain"), std::make_pair(false, false));
}

TEST_F(TargetEncryption, EncryptedFileLooksAtTheVersionLine) {
  ASSERT_TRUE(key::create());
  write_file(dir / "plain", "");
  ASSERT_EQ(te::encrypt_file(dir / "plain", dir / "enc", {}), age::Ok);
  EXPECT_EQ(std::filesystem::file_size(dir / "enc"), 200u);
  EXPECT_TRUE(te::encrypted_file(dir / "enc"));
  EXPECT_FALSE(te::encrypted_file(dir / "plain"));
  EXPECT_FALSE(te::encrypted_file(dir / "missing"));
}

TEST_F(TargetEncryption, ScratchFilesAreFreshPrivateAndExclusive) {
  auto const a = te::scratch_file();
  auto const b = te::scratch_file();
  std::string const prefix = "pellimoravin-encrypting-" + std::to_string(::getpid()) + "-";
  EXPECT_EQ(a.parent_path(), tmp);
  ASSERT_TRUE(a.filename().string().starts_with(prefix));
  ASSERT_TRUE(b.filename().string().starts_with(prefix));
  auto number = [&](std::filesystem::path const& p) {
    std::string name = p.filename().string();
    return std::stoul(name.substr(prefix.size(), name.size() - prefix.size() - 4));
  };
  EXPECT_EQ(number(b), number(a) + 1);
  EXPECT_TRUE(b.filename().string().ends_with(".tmp"));
  EXPECT_EQ(mode_of(a), 0600u);
  EXPECT_EQ(std::filesystem::file_size(a), 0u);

  // The next names are taken (one by a link planted to redirect the write): they are skipped.
  auto const next = [&](unsigned long n) { return tmp / (prefix + std::to_string(n) + ".tmp"); };
  write_file(tmp / "victim", "untouched");
  std::filesystem::create_symlink(tmp / "victim", next(number(b) + 1));
  write_file(next(number(b) + 2), "someone else's");
  auto const c = te::scratch_file();
  EXPECT_EQ(number(c), number(b) + 3);
  EXPECT_EQ(read_file(tmp / "victim"), "untouched");
  EXPECT_EQ(read_file(next(number(b) + 2)), "someone else's");

  ASSERT_TRUE(key::create());
  write_file(dir / "plain", "secret");
  EXPECT_EQ(te::encrypt_file(dir / "plain", c, {}), age::Ok);
  EXPECT_EQ(std::filesystem::file_size(c), age::encrypted_size(6));

  std::filesystem::remove_all(tmp);
  EXPECT_THROW(te::scratch_file(), std::filesystem::filesystem_error);
}

TEST_F(TargetEncryption, MessagesNameEachResult) {
  namespace tr = Utilities::translation;
  tr::init_locale({});
  tr::init(tr::locale_dir());
  tr::set_language("en");
  EXPECT_EQ(te::message(age::Ok), L"");
  EXPECT_EQ(te::message(static_cast<age::Result>(8)), L"");
  EXPECT_EQ(te::message(age::Cancelled), tr::translate("copy_cancelled"));
  EXPECT_EQ(te::message(age::Damaged), L"The encrypted file is damaged or has been altered");
  for (int r = 1; r <= 7; ++r) EXPECT_FALSE(te::message(static_cast<age::Result>(r)).empty()) << r;
}

}  // namespace
