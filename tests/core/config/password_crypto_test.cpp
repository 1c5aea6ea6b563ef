#include "core/config/PasswordCrypto.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <vector>

#include "settings_log_capture.h"
#include "support/scoped_mount.h"
#include "support/temp_dir.h"
#include "utilities/Codecs.h"

namespace {

namespace pc = KVO_Core::passwordcrypto;
using config_b_test::LogCapture;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

std::string bytes_0_to_31() {
  std::string key;
  for (int i = 0; i < 32; ++i) key.push_back(static_cast<char>(i));
  return key;
}

unsigned mode_of(std::filesystem::path const& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::size_t decoded_size(std::string const& stored) {
  return Utilities::base64::decoded(std::string_view(stored).substr(pc::PREFIX.size())).size();
}

TEST(PasswordCrypto, FirstEncryptionMakesAPrivateKeyAndRoundTrips) {
  LogCapture log;
  TempDir dir;
  auto key_file = dir / "not/yet/there/secret.key";

  auto stored = pc::encrypt("hunter2", key_file);
  ASSERT_TRUE(stored.starts_with("$AES256GCM$")) << stored;
  EXPECT_TRUE(pc::is_encrypted(stored));
  EXPECT_EQ(decoded_size(stored), 28u + 7u);
  EXPECT_EQ(read_file(key_file).size(), 32u);
  EXPECT_EQ(mode_of(key_file), 0600u);
  EXPECT_EQ(pc::decrypt(stored, key_file), std::optional<std::string>("hunter2"));

  // No temporary file is left beside the key.
  std::size_t entries = 0;
  for ([[maybe_unused]] auto const& e : std::filesystem::directory_iterator(key_file.parent_path()))
    ++entries;
  EXPECT_EQ(entries, 1u);

  // A fresh nonce every time.
  auto again = pc::encrypt("hunter2", key_file);
  EXPECT_NE(again, stored);
  EXPECT_EQ(pc::decrypt(again, key_file), std::optional<std::string>("hunter2"));

  auto empty = pc::encrypt("", key_file);
  EXPECT_EQ(decoded_size(empty), 28u);
  EXPECT_EQ(pc::decrypt(empty, key_file), std::optional<std::string>(""));
}

TEST(PasswordCrypto, KeyIsReadOncePerProcess) {
  LogCapture log;
  TempDir dir;
  auto key_file = dir / "secret.key";
  auto stored = pc::encrypt("x", key_file);
  ASSERT_FALSE(stored.empty());
  std::filesystem::remove(key_file);
  EXPECT_EQ(pc::decrypt(stored, key_file), std::optional<std::string>("x"));
  EXPECT_FALSE(pc::encrypt("y", key_file).empty());
  EXPECT_FALSE(std::filesystem::exists(key_file));
}

// Made with Python's cryptography package (AESGCM, key bytes 00..1f, no associated data).
TEST(PasswordCrypto, DecryptsVectorsOfAnIndependentImplementation) {
  LogCapture log;
  TempDir dir;
  auto key_file = dir / "secret.key";
  write_file(key_file, bytes_0_to_31());
  ::chmod(key_file.c_str(), 0600);
  struct Case {
    char const* stored;
    std::string plain;
  } const cases[] = {
      {"$AES256GCM$AAECAwQFBgcICQoL9MLbHcOIBaN7khccXQqBzA==", ""},
      {"$AES256GCM$yv66vvrO263eyviI4tbOUs8IffF0H5HwIdTzJ22IUzG8YPo=", "hunter2"},
      {"$AES256GCM$Dw4NDAsKCQgHBgUE1PMVLyigbBiZu5G9pAmp8fbyjou3WFHFONKhCBRLtlSNFR0=",
       "p\xc3\xa4ssw\xc3\xb6rd \xe2\x9c\x93 \xf0\x9f\x94\x91"},
  };
  for (auto const& c : cases) EXPECT_EQ(pc::decrypt(c.stored, key_file), c.plain) << c.stored;
  EXPECT_FALSE(log.has("crypto_key_permissions_fixed"));
}

TEST(PasswordCrypto, AnIndependentImplementationDecryptsOurs) {
  if (test_support::run("python3 -c 'import cryptography' 2>/dev/null") != 0)
    GTEST_SKIP() << "python3 with the cryptography package is not available";
  LogCapture log;
  TempDir dir;
  auto key_file = dir / "secret.key";
  std::string plain = "s3cr\xc3\xa9t";
  auto stored = pc::encrypt(plain, key_file);
  ASSERT_FALSE(stored.empty());
  write_file(dir / "check.py",
             "import base64,sys\n"
             "from cryptography.hazmat.primitives.ciphers.aead import AESGCM\n"
             "key=open(sys.argv[1],'rb').read()\n"
             "d=base64.b64decode(sys.argv[2][len('$AES256GCM$'):])\n"
             "sys.stdout.write(AESGCM(key).decrypt(d[:12],d[12:],None).hex())\n");
  auto out = test_support::run_output("python3 " + (dir / "check.py").string() + " " +
                                      key_file.string() + " '" + stored + "'");
  EXPECT_EQ(out, Utilities::hex::encoded(plain));
}

TEST(PasswordCrypto, BadKeyFilesAreNeitherUsedNorReplaced) {
  struct Case {
    char const* name;
    int size;  // -1: a directory
  } const cases[] = {{"31 bytes", 31}, {"33 bytes", 33}, {"a directory", -1}};
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    TempDir dir;
    auto key_file = dir / "secret.key";
    if (c.size < 0)
      std::filesystem::create_directory(key_file);
    else
      write_file(key_file, std::string(static_cast<std::size_t>(c.size), 'k'));

    EXPECT_EQ(pc::encrypt("pw", key_file), "");
    EXPECT_EQ(pc::decrypt("$AES256GCM$yv66vvrO263eyviI4tbOUs8IffF0H5HwIdTzJ22IUzG8YPo=", key_file),
              std::nullopt);
    EXPECT_THROW(pc::encrypt_or_throw("pw", key_file, "acc"), pc::NotEncryptable);
    EXPECT_TRUE(log.has("crypto_key_unreadable"));
    if (c.size >= 0)
      EXPECT_EQ(read_file(key_file), std::string(static_cast<std::size_t>(c.size), 'k'));
    else
      EXPECT_TRUE(std::filesystem::is_directory(key_file));
  }
}

TEST(PasswordCrypto, EmptyKeyFileGetsANewKey) {
  LogCapture log;
  TempDir dir;
  auto key_file = dir / "secret.key";
  write_file(key_file, "");
  ::chmod(key_file.c_str(), 0644);
  auto stored = pc::encrypt("pw", key_file);
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(read_file(key_file).size(), 32u);
  EXPECT_EQ(mode_of(key_file), 0600u);
}

TEST(PasswordCrypto, KeyReadableByOthersIsWarnedAboutAndMadePrivate) {
  LogCapture log;
  TempDir dir;
  auto key_file = dir / "secret.key";
  write_file(key_file, bytes_0_to_31());
  ::chmod(key_file.c_str(), 0644);
  EXPECT_EQ(pc::decrypt("$AES256GCM$yv66vvrO263eyviI4tbOUs8IffF0H5HwIdTzJ22IUzG8YPo=", key_file),
            std::optional<std::string>("hunter2"));
  EXPECT_TRUE(log.has("crypto_key_permissions_fixed"));
  EXPECT_EQ(mode_of(key_file), 0600u);
  EXPECT_EQ(read_file(key_file), bytes_0_to_31());
}

TEST(PasswordCrypto, KeyThatCannotBeStoredIsNotUsed) {
  LogCapture log;
  TempDir dir;
  test_support::ScopedTmpfs mount(dir / "ro", "size=64k,ro");
  if (!mount.ok()) GTEST_SKIP() << mount.error();
  auto key_file = dir / "ro/secret.key";

  EXPECT_EQ(pc::encrypt("pw", key_file), "");
  EXPECT_TRUE(log.has("crypto_key_not_storable"));
  try {
    pc::encrypt_or_throw("pw", key_file, "myserver");
    ADD_FAILURE() << "no exception";
  } catch (pc::NotEncryptable const& e) {
    EXPECT_EQ(e.what(),
              Utilities::translation::translate_utf8("password_not_encryptable", {"myserver"}));
  }
  // Once the key can be stored, it is made then, and only then used.
  ASSERT_TRUE(mount.remount("rw"));
  auto stored = pc::encrypt("pw", key_file);
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(read_file(key_file).size(), 32u);
  EXPECT_EQ(pc::decrypt(stored, key_file), std::optional<std::string>("pw"));
}

TEST(PasswordCrypto, DamagedOrForeignStoredFormsGiveNothing) {
  LogCapture log;
  TempDir dir;
  auto key_file = dir / "secret.key";
  write_file(key_file, bytes_0_to_31());
  ::chmod(key_file.c_str(), 0600);
  std::string good = "$AES256GCM$yv66vvrO263eyviI4tbOUs8IffF0H5HwIdTzJ22IUzG8YPo=";

  EXPECT_TRUE(pc::is_encrypted("$AES256GCM$"));
  EXPECT_FALSE(pc::is_encrypted("$AES256GCM"));
  EXPECT_EQ(pc::decrypt("plain", key_file), std::nullopt);
  EXPECT_EQ(log.text(), "");

  EXPECT_EQ(pc::decrypt("$AES256GCM$", key_file), std::nullopt);
  EXPECT_EQ(pc::decrypt("$AES256GCM$not base64!", key_file), std::nullopt);
  EXPECT_EQ(pc::decrypt("$AES256GCM$" + std::string(36, 'A'), key_file), std::nullopt);  // 27 bytes
  EXPECT_TRUE(log.has("crypto_password_corrupted"));

  std::string changed = good;
  changed[20] = changed[20] == 'A' ? 'B' : 'A';
  EXPECT_EQ(pc::decrypt(changed, key_file), std::nullopt);
  EXPECT_TRUE(log.has("crypto_decryption_failed"));

  // A key from another installation.
  TempDir other;
  auto other_key = other / "secret.key";
  EXPECT_EQ(pc::decrypt(good, other_key), std::nullopt);
  EXPECT_EQ(read_file(other_key).size(), 32u);
}

TEST(PasswordCrypto, ConcurrencyThreadsShareOneKey) {
  LogCapture log;
  TempDir dir;
  auto key_file = dir / "secret.key";
  std::vector<std::string> stored(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < stored.size(); ++i)
    threads.emplace_back([&, i] { stored[i] = pc::encrypt("pw" + std::to_string(i), key_file); });
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < stored.size(); ++i)
    EXPECT_EQ(pc::decrypt(stored[i], key_file), "pw" + std::to_string(i));
}

// Several processes that find no key at the same moment must still end with one key: each
// child encrypts with the key it got, and the parent, reading the file, decrypts them all.
TEST(PasswordCrypto, ProcessesRacingForTheKeyAgreeOnOne) {
  LogCapture log;
  TempDir dir;
  auto key_file = dir / "secret.key";
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 8; ++i) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char c;
      while (::read(gate[0], &c, 1) > 0) {
      }
      auto stored = pc::encrypt("child", key_file);
      write_file(dir / ("out" + std::to_string(i)), stored);
      ::_exit(stored.empty() ? 1 : 0);
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // opens the gate for all at once
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<std::filesystem::path> leftovers;
  for (int i = 0; i < 8; ++i) {
    auto stored = read_file(dir / ("out" + std::to_string(i)));
    EXPECT_EQ(pc::decrypt(stored, key_file), std::optional<std::string>("child")) << i;
  }
  for (auto const& e : std::filesystem::directory_iterator(dir.path()))
    if (e.path().filename().string().starts_with("secret.key.")) leftovers.insert(e.path());
  EXPECT_TRUE(leftovers.empty());
}

}  // namespace
