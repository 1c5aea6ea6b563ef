// Interoperability with the age command-line tools, through the key file and the file operations.
#include <gtest/gtest.h>

#include <vector>

#include "core/crypto/Age.h"
#include "core/crypto/EncryptionKey.h"
#include "core/crypto/TargetEncryption.h"
#include "crypto_fixture.h"

namespace {

namespace age = KVO_Core::age;
namespace te = KVO_Core::target_encryption;
namespace key = KVO_Core::encryption_key;
using crypto_test::CryptoHome;
using crypto_test::pattern;
using crypto_test::quoted;
using crypto_test::set_recipient;
using test_support::read_file;
using test_support::run;
using test_support::run_output;
using test_support::write_file;

std::string trimmed_output(std::string const& command) {
  std::string out = run_output(command);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

class AgeCli : public CryptoHome {
 protected:
  void SetUp() override {
    CryptoHome::SetUp();
    require_age();
  }
  // A key pair made by age-keygen: its file and its recipient.
  std::pair<std::filesystem::path, std::string> keygen(std::string const& name) {
    auto file = dir / name;
    EXPECT_EQ(run("age-keygen -o " + quoted(file) + " 2>/dev/null"), 0);
    return {file, trimmed_output("age-keygen -y " + quoted(file))};
  }
  std::filesystem::path dir = work.path();
};

TEST_F(AgeCli, OurFilesOpenWithAgeAndHaveTheComputedSize) {
  ASSERT_TRUE(key::create());
  for (std::size_t n : {0, 1, 65535, 65536, 65537, 131072, 3 * 1048576 + 17}) {
    std::string const plain = pattern(n);
    auto const source = dir / ("plain-" + std::to_string(n));
    auto const target = dir / ("enc-" + std::to_string(n));
    auto const back = dir / ("back-" + std::to_string(n));
    write_file(source, plain);
    ASSERT_EQ(te::encrypt_file(source, target, {}), age::Ok) << n;
    EXPECT_EQ(std::filesystem::file_size(target), age::encrypted_size(n)) << n;
    // Our key file, comments and all, is an identity file age reads.
    ASSERT_EQ(run("age -d -i " + quoted(key_file()) + " " + quoted(target) + " > " + quoted(back)),
              0)
        << n;
    EXPECT_TRUE(read_file(back) == plain) << n;
    EXPECT_EQ(te::holds(target, source), std::make_pair(true, true)) << n;
  }
}

TEST_F(AgeCli, AgeFilesOpenWithOurs) {
  auto const [mine_file, mine] = keygen("mine.txt");
  auto const [other_file, other] = keygen("other.txt");
  // An identity file made by age-keygen serves as ours as it is.
  std::filesystem::create_directories(data());
  std::filesystem::copy_file(mine_file, key_file());
  set_recipient(mine);
  auto const ids = key::identities();
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(age::recipient_of(ids[0]), mine);

  auto const plain = dir / "plain";
  write_file(plain, pattern(200000));
  write_file(dir / "empty", "");
  struct Row {
    char const* name;
    std::string recipients;
    std::filesystem::path source;
  };
  for (auto const& row : std::vector<Row>{{"one", " -r " + mine, plain},
                                          {"two", " -r " + other + " -r " + mine, plain},
                                          {"two-mine-first", " -r " + mine + " -r " + other, plain},
                                          {"empty", " -r " + mine, dir / "empty"}}) {
    auto const enc = dir / (std::string(row.name) + ".age");
    auto const out = dir / (std::string(row.name) + ".out");
    ASSERT_EQ(run("age" + row.recipients + " -o " + quoted(enc) + " " + quoted(row.source)), 0);
    EXPECT_TRUE(te::encrypted_file(enc)) << row.name;
    EXPECT_EQ(te::decrypt_file(enc, out, {}), age::Ok) << row.name;
    EXPECT_TRUE(read_file(out) == read_file(row.source)) << row.name;
    EXPECT_EQ(te::holds(enc, row.source), std::make_pair(true, true)) << row.name;
  }
  EXPECT_EQ(std::filesystem::file_size(dir / "empty.age"), age::encrypted_size(0));

  // And what we encrypt for the age-keygen recipient opens with its file.
  ASSERT_EQ(te::encrypt_file(plain, dir / "ours.age", {}), age::Ok);
  EXPECT_EQ(run("age -d -i " + quoted(mine_file) + " -o " + quoted(dir / "ours.out") + " " +
                quoted(dir / "ours.age")),
            0);
  EXPECT_TRUE(read_file(dir / "ours.out") == read_file(plain));
}

TEST_F(AgeCli, TamperedFilesGiveTheirResultAndLeaveNoOutput) {
  ASSERT_TRUE(key::create());
  auto const recipient = key::recipient().value();
  auto const [other_file, other] = keygen("other.txt");
  auto const cases = dir / "cases";
  std::filesystem::create_directories(cases);
  auto const plain = dir / "plain";
  write_file(plain, pattern(2 * 65536 + 100));
  ASSERT_EQ(run("age -r " + recipient + " -o " + quoted(dir / "good.age") + " " + quoted(plain)),
            0);
  ASSERT_EQ(
      run("age -a -r " + recipient + " -o " + quoted(dir / "armored.age") + " " + quoted(plain)),
      0);
  ASSERT_EQ(run("age -r " + other + " -o " + quoted(dir / "other.age") + " " + quoted(plain)), 0);
  ASSERT_EQ(
      run("timeout 60 python3 " +
          quoted(std::filesystem::path(PELLI_SOURCE_DIR) / "tests/core/crypto/age_passphrase.py") +
          " " + quoted(plain) + " " + quoted(dir / "passphrase.age") + " 'not a key'"),
      0);
  std::string const good = read_file(dir / "good.age");
  std::size_t const header = good.find("\n---") + 1 + 48;  // through the MAC line
  std::size_t const payload = header + 16;
  ASSERT_EQ(good.size(), payload + 2 * 65552 + 116);
  auto flipped = [&](std::size_t at) {
    std::string f = good;
    f[at] = static_cast<char>(f[at] ^ 0x10);
    return f;
  };
  struct Row {
    char const* name;
    std::string content;
    age::Result result;
  };
  std::vector<Row> const rows = {
      {"cut-at-chunk", good.substr(0, payload + 65552), age::Damaged},
      {"cut-inside-chunk", good.substr(0, payload + 65552 + 4000), age::Damaged},
      {"byte-appended", good + '\0', age::Damaged},
      {"mac-flipped", flipped(header - 10), age::Damaged},
      {"payload-flipped", flipped(payload + 70000), age::Damaged},
      {"short-nonce", good.substr(0, header + 9), age::Damaged},
      {"plain", read_file(plain), age::NotEncrypted},
      {"armored", read_file(dir / "armored.age"), age::NotEncrypted},
      {"wrong-key", read_file(dir / "other.age"), age::WrongKey},
      {"passphrase", read_file(dir / "passphrase.age"), age::WrongKey},
  };
  for (auto const& row : rows) {
    auto const file = cases / (std::string(row.name) + ".age");
    auto const out = cases / (std::string(row.name) + ".out");
    write_file(file, row.content);
    EXPECT_EQ(te::decrypt_file(file, out, {}), row.result) << row.name;
    EXPECT_FALSE(std::filesystem::exists(out)) << row.name;
    // The peer refuses them too, but for the armored form, which it reads and we do not.
    if (row.name == std::string("armored")) continue;
    EXPECT_NE(run("age -d -i " + quoted(key_file()) + " " + quoted(file) + " >/dev/null 2>&1"), 0)
        << row.name;
  }
  // Nothing but the cases themselves is left: no output, no staging file.
  std::size_t entries = 0;
  for (auto const& entry : std::filesystem::directory_iterator(cases)) {
    EXPECT_EQ(entry.path().extension(), ".age") << entry.path();
    ++entries;
  }
  EXPECT_EQ(entries, rows.size());
  EXPECT_EQ(te::decrypt_file(dir / "good.age", cases / "good.out", {}), age::Ok);
}

}  // namespace
