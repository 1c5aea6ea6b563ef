// A home folder of its own per test (so the data folder and "age-identity.txt" are fresh), an
// own temporary folder, an empty recipient setting, and the age command-line tools as a peer.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "core/config/Config.h"
#include "core/crypto/EncryptionKey.h"
#include "support/temp_dir.h"

namespace crypto_test {

// Bytes that differ from chunk to chunk, so a misplaced chunk shows.
inline std::string pattern(std::size_t n) {
  std::string text(n, '\0');
  for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>((i * 7919 + i / 251) & 0xff);
  return text;
}

// The permission bits of the path itself (a link is not followed); 0 when it is not there.
inline unsigned mode_of(std::filesystem::path const& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

inline std::string quoted(std::filesystem::path const& p) { return "'" + p.string() + "'"; }

inline void set_recipient(std::string const& recipient) {
  KVO_Core::Config::instance()->settings.update(
      [&](KVO_Core::Settings& s) { s.EncryptionRecipient = recipient; });
}

inline std::string setting_recipient() {
  return KVO_Core::Config::instance()->settings.get().EncryptionRecipient;
}

class CryptoHome : public ::testing::Test {
 protected:
  void SetUp() override {
    set_recipient("");
    std::filesystem::create_directories(tmp);
  }
  void TearDown() override { set_recipient(""); }

  // The age tools are the peer these tests check against: missing tools fail the test.
  static void require_age() {
    ASSERT_EQ(test_support::run("age --version >/dev/null 2>&1 && "
                                "age-keygen --version >/dev/null 2>&1"),
              0)
        << "the age command-line tools are missing (scripts/setup.sh installs them)";
  }

  std::filesystem::path data() const {
    return home.path() / "Library/Application Support/pellimoravin";
  }
  std::filesystem::path key_file() const { return data() / "age-identity.txt"; }

  test_support::TempDir home;
  test_support::ScopedEnv home_env{"HOME", home.path().c_str()};
  test_support::TempDir work;
  std::filesystem::path tmp = work.path() / "tmp";
  test_support::ScopedEnv tmp_env{"TMPDIR", tmp.c_str()};
};

}  // namespace crypto_test
