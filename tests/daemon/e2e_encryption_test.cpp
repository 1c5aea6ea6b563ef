// The running service keeps the targets of an item with encryptTarget as age files that the age
// CLI opens with the key file beside the configuration; a two-way item with the flag is refused.
#include <cstdint>
#include <optional>

#include "service_fixture.h"

namespace {

using namespace service_test;

// Bytes that are not text and differ from position to position.
std::string noise(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1u;
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x & 0xff);
  }
  return bytes;
}

class E2eEncryption : public Service {
 protected:
  fs::path identity_file() const { return data_dir() / "age-identity.txt"; }

  // A fresh key from age-keygen in the key file; its recipient in the settings.
  void write_config_with_key(std::vector<Item> const& items) {
    fs::create_directories(data_dir());
    ASSERT_EQ(test_support::run("age-keygen -o '" + identity_file().string() + "' 2>/dev/null"), 0)
        << "the age CLI is needed";
    std::string recipient =
        test_support::run_output("age-keygen -y '" + identity_file().string() + "'");
    while (!recipient.empty() && (recipient.back() == '\n' || recipient.back() == '\r'))
      recipient.pop_back();
    ASSERT_EQ(recipient.rfind("age1", 0), 0u) << recipient;
    std::string const text = config_json(items);
    write_config(R"({"Settings": {"StartMinimzed": "false", "MinimizeInsteadOfClose": "false",
  "Autostart": "false", "StartSyncAtStart": "true", "Language": "en",
  "EncryptionRecipient": ")" +
                 recipient + "\"}," + text.substr(text.find('\n')));
  }

  // What age -d makes of the file with the key file; none when it refuses.
  std::optional<std::string> decrypted(fs::path const& file) const {
    fs::path const out = files.path() / "decrypted.out";
    fs::remove(out);
    int const status = test_support::run("age -d -i '" + identity_file().string() + "' -o '" +
                                         out.string() + "' '" + file.string() + "' 2>/dev/null");
    if (status != 0) return std::nullopt;
    return test_support::read_file(out);
  }

  bool decrypts_to(fs::path const& file, std::string const& plain) const {
    auto const got = decrypted(file);
    return got && *got == plain;
  }
};

TEST_F(E2eEncryption, TargetsOfFileDirectoryAndTreeItemsDecryptToTheirSources) {
  // One byte, a full chunk and one byte more, and several chunks with a short last one.
  std::string const small = "x";
  std::string const chunk_and_one = noise(65537, 1);
  std::string const chunks = noise(3 * 65536 + 1000, 2);
  std::string const text = "plain text of a file in a folder\n";
  test_support::write_file(files / "src/single.bin", chunk_and_one);
  test_support::write_file(files / "src/folder/small.txt", small);
  test_support::write_file(files / "src/folder/chunks.bin", chunks);
  test_support::write_file(files / "src/folder/text.txt", text);
  fs::create_directories(files / "dst/folder");

  Item folder = item("folder", files / "src/folder", files / "dst/folder", false,
                     R"(, "encryptTarget": "true")");
  folder.type = "Verzeichnis";
  std::string const nested = noise(65536, 5);
  test_support::write_file(files / "src/tree/top.txt", text);
  test_support::write_file(files / "src/tree/a/b/nested.bin", nested);
  fs::create_directories(files / "dst/tree");
  Item tree =
      item("tree", files / "src/tree", files / "dst/tree", false, R"(, "encryptTarget": "true")");
  tree.type = "Verzeichnisbaum";
  write_config_with_key({item("single", files / "src/single.bin", files / "dst/single.bin.age",
                              false, R"(, "encryptTarget": "true")"),
                         folder, tree});
  if (HasFatalFailure()) return;
  start();

  EXPECT_TRUE(
      eventually([&] { return decrypts_to(files / "dst/single.bin.age", chunk_and_one); }, 60s))
      << log();
  EXPECT_TRUE(eventually([&] { return decrypts_to(files / "dst/folder/chunks.bin", chunks); }, 60s))
      << log();
  EXPECT_TRUE(eventually([&] { return decrypts_to(files / "dst/folder/small.txt", small); }, 60s))
      << log();
  EXPECT_TRUE(eventually([&] { return decrypts_to(files / "dst/folder/text.txt", text); }, 60s))
      << log();
  EXPECT_TRUE(eventually([&] { return decrypts_to(files / "dst/tree/top.txt", text); }, 60s))
      << log();
  EXPECT_TRUE(
      eventually([&] { return decrypts_to(files / "dst/tree/a/b/nested.bin", nested); }, 60s))
      << log();
  // Nothing reaches the target in the clear.
  EXPECT_NE(test_support::read_file(files / "dst/folder/text.txt").find("age-encryption.org/v1"),
            std::string::npos);
  EXPECT_EQ(test_support::read_file(files / "dst/folder/text.txt").find("plain text"),
            std::string::npos);

  // A changed source is encrypted anew at a later pass.
  std::string const edited = noise(70000, 3);
  test_support::write_file(files / "src/single.bin", edited);
  EXPECT_TRUE(eventually([&] { return decrypts_to(files / "dst/single.bin.age", edited); }, 60s))
      << log();
  std::string const edited_again = noise(1000, 4);
  test_support::write_file(files / "src/single.bin", edited_again);
  EXPECT_TRUE(
      eventually([&] { return decrypts_to(files / "dst/single.bin.age", edited_again); }, 60s))
      << log();
  // Passes that ran since compared the unchanged encrypted targets with their sources and left
  // them alone.
  for (char const* name : {"small.txt", "chunks.bin", "text.txt"})
    EXPECT_EQ(log_count("Copied " + (files / "src/folder" / name).string() + " to"), 1u)
        << name << "\n"
        << log();

  // No Error line from the passes (what precedes the start is the fixture's brief configuration).
  std::string const all = log();
  std::size_t const started = all.find("Sync service started.");
  ASSERT_NE(started, std::string::npos);
  EXPECT_EQ(all.find(" Error\t", started), std::string::npos) << all;
  EXPECT_EQ(terminate(10s), 0);
}

TEST_F(E2eEncryption, TwoWayItemIsRefusedAndWritesNoPlainCopy) {
  test_support::write_file(files / "src/secret.txt", "never in the clear");
  test_support::write_file(files / "src/other.txt", "one way, not encrypted");
  fs::create_directories(files / "dst");
  write_config_with_key({item("refused", files / "src/secret.txt", files / "dst/secret.txt", true,
                              R"(, "encryptTarget": "true")"),
                         item("plain", files / "src/other.txt", files / "dst/other.txt")});
  if (HasFatalFailure()) return;
  start();

  std::string const refusal = " Error\tEncrypted targets are not possible with two-way";
  EXPECT_TRUE(eventually([&] { return log_count(refusal) >= 1; }, 60s)) << log();
  // Another item's copy shows that a pass ran past the refused item.
  EXPECT_TRUE(eventually(
      [&] { return test_support::read_file(files / "dst/other.txt") == "one way, not encrypted"; },
      60s))
      << log();
  std::string const all = log();
  std::size_t const line = all.find(refusal);
  ASSERT_NE(line, std::string::npos);
  EXPECT_NE(all.substr(line, all.find('\n', line) - line).find("refused"), std::string::npos)
      << "the line names the item";
  EXPECT_FALSE(fs::exists(files / "dst/secret.txt"));
  EXPECT_EQ(test_support::read_file(files / "src/secret.txt"), "never in the clear");
  EXPECT_EQ(terminate(10s), 0);
  EXPECT_FALSE(fs::exists(files / "dst/secret.txt"));
}

}  // namespace
