#include "core/crypto/Age.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "age_builder.h"
#include "crypto_fixture.h"

namespace {

namespace age = KVO_Core::age;
using crypto_test::build_file;
using crypto_test::pattern;
using crypto_test::random_file_key;
using crypto_test::x25519_stanza;

struct Keys {
  std::string identity;
  std::string recipient;
};

Keys new_keys() {
  auto identity = age::generate_identity();
  EXPECT_TRUE(identity);
  auto recipient = age::recipient_of(*identity);
  EXPECT_TRUE(recipient);
  return {*identity, *recipient};
}

std::string encrypt_text(std::string const& plain, std::string const& recipient) {
  std::istringstream in(plain);
  std::ostringstream out;
  EXPECT_EQ(age::encrypt(in, out, recipient, {}), age::Ok);
  return out.str();
}

struct Decrypted {
  age::Result result;
  std::string plain;
};

Decrypted decrypt_text(std::string const& file, std::string const& identity,
                       age::Progress const& progress = {}) {
  std::istringstream in(file);
  std::ostringstream out;
  age::Result r = age::decrypt(in, out, identity, progress);
  return {r, out.str()};
}

TEST(AgeFormat, EncryptedSizeCountsStartedChunks) {
  struct Row {
    std::uint64_t plain, file;
  };
  for (Row row : std::vector<Row>{{0, 200},
                                  {1, 201},
                                  {65535, 65535 + 200},
                                  {65536, 65536 + 200},
                                  {65537, 65537 + 216},
                                  {131072, 131072 + 216},
                                  {131073, 131073 + 232}})
    EXPECT_EQ(age::encrypted_size(row.plain), row.file) << row.plain;
  static_assert(age::encrypted_size(0) == 200);
}

TEST(AgeFormat, RoundTripsAndWritesExactlyTheComputedSize) {
  Keys keys = new_keys();
  for (std::size_t n : {0, 1, 100, 65535, 65536, 65537, 131072, 200000}) {
    std::string plain = pattern(n);
    std::string file = encrypt_text(plain, keys.recipient);
    EXPECT_EQ(file.size(), age::encrypted_size(n)) << n;
    EXPECT_TRUE(file.starts_with("age-encryption.org/v1\n-> X25519 "));
    auto d = decrypt_text(file, keys.identity);
    EXPECT_EQ(d.result, age::Ok) << n;
    EXPECT_TRUE(d.plain == plain) << n;
  }
}

TEST(AgeFormat, ProgressReportsTotalsAndCanStopAtTheLastChunk) {
  Keys keys = new_keys();
  std::string plain = pattern(150000);
  std::vector<std::uint64_t> seen;
  std::istringstream in(plain);
  std::ostringstream out;
  auto stop_at_end = [&](std::uint64_t done) {
    seen.push_back(done);
    return done < plain.size();
  };
  EXPECT_EQ(age::encrypt(in, out, keys.recipient, stop_at_end), age::Cancelled);
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{65536, 131072, 150000}));
  EXPECT_EQ(out.str().size(), age::encrypted_size(plain.size()));

  seen.clear();
  auto d = decrypt_text(out.str(), keys.identity, stop_at_end);
  EXPECT_EQ(d.result, age::Cancelled);
  EXPECT_TRUE(d.plain == plain);
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{65536, 131072, 150000}));

  seen.clear();
  auto stop_first = [&](std::uint64_t done) {
    seen.push_back(done);
    return false;
  };
  EXPECT_EQ(decrypt_text(out.str(), keys.identity, stop_first).result, age::Cancelled);
  EXPECT_EQ(seen.size(), 1u);
}

TEST(AgeFormat, DamagedOrForeignInputGivesItsResult) {
  Keys keys = new_keys();
  std::string const plain = pattern(2 * 65536 + 100);
  std::string const good = encrypt_text(plain, keys.recipient);
  std::size_t const header = 168, payload = 184;  // header; header and nonce
  auto flipped = [&](std::size_t at) {
    std::string f = good;
    f[at] = static_cast<char>(f[at] ^ 0x01);
    return f;
  };
  auto mac_line_replaced = [&](std::string const& line) {
    std::string f = good;
    f.replace(120, 48, line);
    return f;
  };
  struct Row {
    char const* name;
    std::string file;
    age::Result result;
  };
  std::vector<Row> const rows = {
      {"cut at a chunk boundary", good.substr(0, payload + 65552), age::Damaged},
      {"last chunk dropped", good.substr(0, payload + 2 * 65552), age::Damaged},
      {"cut inside a chunk", good.substr(0, payload + 65552 + 1000), age::Damaged},
      {"cut inside the tag", good.substr(0, good.size() - 3), age::Damaged},
      {"one byte appended", good + "x", age::Damaged},
      {"payload byte flipped", flipped(payload + 10), age::Damaged},
      {"tag byte flipped", flipped(good.size() - 1), age::Damaged},
      {"MAC character changed", flipped(130), age::Damaged},
      {"MAC line without the blank", mac_line_replaced("---X" + good.substr(124, 44)),
       age::Damaged},
      {"MAC line of three dashes", mac_line_replaced("---\n"), age::Damaged},
      {"short nonce", good.substr(0, header + 10), age::Damaged},
      {"nonce but no chunk", good.substr(0, payload), age::Damaged},
      {"stanza body changed", flipped(80), age::WrongKey},
      {"header cut short", good.substr(0, 100), age::NotEncrypted},
      {"empty input", "", age::NotEncrypted},
      {"plain text", "hello world\nthis is not encrypted\n", age::NotEncrypted},
      {"armored", "-----BEGIN AGE ENCRYPTED FILE-----\nYWdlLWVuY3J5cHRpb24=\n", age::NotEncrypted},
      {"version line without line feed", "age-encryption.org/v1", age::NotEncrypted},
      {"other version", "age-encryption.org/v2\n-> X25519 a\nb\n--- c\n", age::NotEncrypted},
      {"70,000-character first line", std::string(70000, 'a'), age::NotEncrypted},
      {"100,000 empty lines", "age-encryption.org/v1\n" + std::string(100000, '\n'),
       age::NotEncrypted},
      {"70,000-character stanza line",
       "age-encryption.org/v1\n-> X25519 " + std::string(70000, 'A') + "\n--- x\n",
       age::NotEncrypted},
  };
  for (auto const& row : rows) {
    auto d = decrypt_text(row.file, keys.identity);
    EXPECT_EQ(d.result, row.result) << row.name;
  }
  EXPECT_EQ(decrypt_text(good, new_keys().identity).result, age::WrongKey);
  EXPECT_EQ(decrypt_text(good, "AGE-SECRET-KEY-1NOTAKEY").result, age::WrongKey);
  EXPECT_EQ(decrypt_text("plain", "AGE-SECRET-KEY-1NOTAKEY").result, age::NotEncrypted);
}

TEST(AgeFormat, HeaderReadingStopsAtItsLimit) {
  Keys keys = new_keys();
  for (std::string const& flood :
       {std::string(200000, 'a'), "age-encryption.org/v1\n" + std::string(200000, '\n'),
        "age-encryption.org/v1\n" + std::string(200000, 'x'),
        "age-encryption.org/v1\n-> X25519 " + std::string(200000, 'A')}) {
    std::istringstream in(flood);
    std::ostringstream out;
    EXPECT_EQ(age::decrypt(in, out, keys.identity, {}), age::NotEncrypted);
    in.clear();
    EXPECT_LE(static_cast<std::size_t>(in.tellg()), 65536u) << flood.substr(0, 30);
  }
}

TEST(AgeFormat, DamagedChunksWriteNothingOfThemselves) {
  Keys keys = new_keys();
  std::string const plain = pattern(65536 + 10);
  std::string file = encrypt_text(plain, keys.recipient);
  file[file.size() - 5] ^= 0x40;
  auto d = decrypt_text(file, keys.identity);
  EXPECT_EQ(d.result, age::Damaged);
  EXPECT_EQ(d.plain, plain.substr(0, 65536));  // only the verified first chunk
}

TEST(AgeFormat, OnlyX25519StanzasThatOpenAreUsed) {
  Keys keys = new_keys();
  Keys other = new_keys();
  auto const file_key = random_file_key();
  std::string const plain = "stanza test";
  std::string const foreign = "-> scrypt c2FsdHNhbHRzYWx0c2FsdA 18\nc29tZXRoaW5nIGVsc2U\n";
  std::string const zero_share =
      "-> X25519 AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n"
      "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n";
  struct Row {
    char const* name;
    std::string stanzas;
    age::Result result;
  };
  std::vector<Row> const rows = {
      {"foreign stanza only", foreign, age::WrongKey},
      {"foreign stanza first", foreign + x25519_stanza(file_key, keys.recipient), age::Ok},
      {"low-order share first", zero_share + x25519_stanza(file_key, keys.recipient), age::Ok},
      {"stanza for someone else first",
       x25519_stanza(file_key, other.recipient) + x25519_stanza(file_key, keys.recipient), age::Ok},
      {"share with '=' padding", x25519_stanza(file_key, keys.recipient, "="), age::WrongKey},
      {"share with another argument", x25519_stanza(file_key, keys.recipient, " x"), age::WrongKey},
      {"no stanza", "", age::WrongKey},
  };
  for (auto const& row : rows) {
    auto d = decrypt_text(build_file(row.stanzas, file_key, plain), keys.identity);
    EXPECT_EQ(d.result, row.result) << row.name;
    if (row.result == age::Ok) {
      EXPECT_EQ(d.plain, plain) << row.name;
    }
  }
}

TEST(AgeFormat, KeyTextsDecodeStrictly) {
  Keys keys = new_keys();
  ASSERT_EQ(keys.identity.size(), 74u);
  ASSERT_TRUE(keys.identity.starts_with("AGE-SECRET-KEY-1"));
  ASSERT_EQ(keys.recipient.size(), 62u);
  ASSERT_TRUE(keys.recipient.starts_with("age1"));

  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  EXPECT_EQ(age::recipient_of(lower(keys.identity)), keys.recipient);
  std::string mixed = keys.identity;
  std::size_t letter = mixed.find_first_not_of("0123456789", 16);
  mixed[letter] = static_cast<char>(std::tolower(static_cast<unsigned char>(mixed[letter])));
  EXPECT_FALSE(age::recipient_of(mixed));

  std::string typo = keys.recipient;
  typo[30] = typo[30] == 'q' ? 'p' : 'q';
  struct Row {
    std::string text;
    bool valid;
  };
  for (auto const& row : std::vector<Row>{
           {keys.recipient, true},
           {upper(keys.recipient), true},
           {"Age1" + keys.recipient.substr(4), false},
           {typo, false},
           {keys.recipient.substr(0, 61), false},
           {keys.recipient + "q", false},
           {keys.identity, false},
           {"age1", false},
           {"", false},
           {"age1rrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrs86tej8", true},
           // The same key bits with non-zero padding bits and a matching checksum.
           {"age1rrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrp0dh56x", false},
           {"age1" + std::string(52, 'b') + "qqqqqq", false},
       })
    EXPECT_EQ(age::valid_recipient(row.text), row.valid) << row.text;
  EXPECT_FALSE(age::recipient_of(keys.recipient));
}

TEST(AgeFormat, EncryptWithBadRecipientFails) {
  std::istringstream in("x");
  std::ostringstream out;
  EXPECT_EQ(age::encrypt(in, out, "age1notarecipient", {}), age::Failed);
  EXPECT_TRUE(out.str().empty());
}

TEST(AgeFormat, HeaderTestReadsTheVersionLine) {
  struct Row {
    std::string text;
    bool encrypted;
  };
  for (auto const& row : std::vector<Row>{{"age-encryption.org/v1\n-> X25519", true},
                                          {"age-encryption.org/v1\n", true},
                                          {"age-encryption.org/v1", false},
                                          {"age-encryption.org/v1\r\n", false},
                                          {"-----BEGIN AGE ENCRYPTED FILE-----\n", false},
                                          {"", false}}) {
    std::istringstream in(row.text);
    EXPECT_EQ(age::encrypted(in), row.encrypted) << row.text;
  }
}

}  // namespace
