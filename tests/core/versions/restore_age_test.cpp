#include <gtest/gtest.h>

#include "core/config/Config.h"
#include "core/crypto/EncryptionKey.h"
#include "core/versions/DeleteOrRecycle.h"
#include "core/versions/RecycleBin.h"
#include "core/versions/Restore.h"
#include "versions_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace KVO_Core;
using restore::Restorable;
using test_support::read_file;
using test_support::run;
using test_support::run_output;
using test_support::TempDir;
using test_support::write_file;

// Generations and bin items made with the age command-line tool, restored with the key file of
// the data folder (below HOME).
class RestoreAge : public ::testing::Test {
 protected:
  void SetUp() override {
    if (run("command -v age >/dev/null && command -v age-keygen >/dev/null") != 0)
      GTEST_SKIP() << "the age command-line tool is not installed";
    saved_settings_ = Config::instance()->settings.get();
    saved_root_ = KVO_Core::RecycleBin::instance().bin_path();
    KVO_Core::RecycleBin::instance().bin_path(dir_.path() / "bin");
    home_.emplace("HOME", dir_.path().c_str());
    ASSERT_EQ(run("age-keygen -o '" + (dir_.path() / "mine.key").string() + "' 2>/dev/null"), 0);
    ASSERT_EQ(run("age-keygen -o '" + (dir_.path() / "other.key").string() + "' 2>/dev/null"), 0);
    auto identity = run_output("grep '^AGE-SECRET-KEY-' '" + (dir_.path() / "mine.key").string() +
                               "' | tr -d '\\n'");
    ASSERT_TRUE(encryption_key::adopt(identity));
  }
  void TearDown() override {
    if (!home_) return;
    Config::instance()->settings.set(saved_settings_);
    KVO_Core::RecycleBin::instance().bin_path(saved_root_);
  }
  // Encrypts plain text into file for the recipient of key.
  void encrypted(fs::path const& file, std::string const& text, std::string const& key) {
    write_file(dir_ / "plain.tmp", text);
    fs::create_directories(file.parent_path());
    ASSERT_EQ(run("age -r \"$(age-keygen -y '" + (dir_.path() / key).string() + "')\" -o '" +
                  file.string() + "' '" + (dir_.path() / "plain.tmp").string() + "'"),
              0);
  }
  Restorable generation(fs::path const& file) const {
    return {Restorable::Kind::Replaced, file, dir_.path() / "s/a.txt", {}, 0};
  }

  TempDir dir_;
  std::optional<test_support::ScopedEnv> home_;
  Settings saved_settings_;
  fs::path saved_root_;
};

TEST_F(RestoreAge, GenerationIsRestoredDecrypted) {
  encrypted(dir_ / "t/a.txt.bak.1", "secret text", "mine.key");
  auto restored = restore::put_back(generation(dir_ / "t/a.txt.bak.1"), dir_ / "into");
  ASSERT_TRUE(restored);
  EXPECT_EQ(*restored, dir_ / "into/a.txt");
  EXPECT_EQ(read_file(*restored), "secret text");
  EXPECT_TRUE(fs::exists(dir_ / "t/a.txt.bak.1"));
  EXPECT_EQ(versions_test::names_in(dir_ / "into"), (std::set<std::string>{"a.txt"}));
}

TEST_F(RestoreAge, ForeignKeyIsRestoredUnchanged) {
  encrypted(dir_ / "t/a.txt.bak.1", "not mine", "other.key");
  auto restored = restore::put_back(generation(dir_ / "t/a.txt.bak.1"), dir_ / "into");
  ASSERT_TRUE(restored);
  EXPECT_EQ(read_file(*restored), read_file(dir_ / "t/a.txt.bak.1"));
}

TEST_F(RestoreAge, DamagedFileIsRefusedWithNothingLeft) {
  encrypted(dir_ / "t/a.txt.bak.1", std::string(100000, 'z'), "mine.key");
  auto bytes = read_file(dir_ / "t/a.txt.bak.1");
  bytes[bytes.size() - 20] ^= 0x55;
  write_file(dir_ / "t/a.txt.bak.1", bytes);
  write_file(dir_ / "into/a.txt", "existing");
  EXPECT_FALSE(restore::put_back(generation(dir_ / "t/a.txt.bak.1"), dir_ / "into"));
  EXPECT_EQ(versions_test::names_in(dir_ / "into"), (std::set<std::string>{"a.txt"}));
  EXPECT_EQ(read_file(dir_ / "into/a.txt"), "existing");
  EXPECT_EQ(read_file(dir_ / "t/a.txt.bak.1"), bytes);
}

TEST_F(RestoreAge, EncryptedBinItemLeavesTheBinDecrypted) {
  encrypted(dir_ / "tgt/a.txt", "was deleted", "mine.key");
  ASSERT_EQ(recycle_refusal(dir_ / "tgt/a.txt", std::chrono::system_clock::now()), 0);
  std::atomic<bool> stop{false};
  auto found = restore::find({}, stop);
  ASSERT_EQ(found.size(), 1u);
  auto restored = restore::put_back(found[0], dir_ / "into");
  ASSERT_TRUE(restored);
  EXPECT_EQ(read_file(*restored), "was deleted");
  EXPECT_TRUE(KVO_Core::RecycleBin::instance().list_items().empty());
}

// The file is back even when its bin item cannot be removed afterwards: a retry would only make
// a second, dated copy.
TEST_F(RestoreAge, UnremovableBinItemStillCountsAsRestored) {
  encrypted(dir_ / "tgt/a.txt", "was deleted", "mine.key");
  ASSERT_EQ(recycle_refusal(dir_ / "tgt/a.txt", std::chrono::system_clock::now()), 0);
  std::atomic<bool> stop{false};
  auto found = restore::find({}, stop);
  ASSERT_EQ(found.size(), 1u);
  if (run("chattr +i '" + found[0].location.string() + "' 2>/dev/null") != 0)
    GTEST_SKIP() << "this file system cannot make a file immutable";
  auto restored = restore::put_back(found[0], dir_ / "into");
  run("chattr -i '" + found[0].location.string() + "'");
  ASSERT_TRUE(restored);
  EXPECT_EQ(read_file(*restored), "was deleted");
  EXPECT_EQ(KVO_Core::RecycleBin::instance().list_items().size(), 1u);
}

}  // namespace
