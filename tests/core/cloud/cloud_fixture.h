// A home folder of its own per test (the configuration and its key live below it) and a fresh
// configuration.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/config/Config.h"
#include "support/temp_dir.h"
#include "utilities/Paths.h"

namespace cloud_test {

class CloudFixture : public ::testing::Test {
 protected:
  CloudFixture() { KVO_Core::Config::unload(); }
  ~CloudFixture() override { KVO_Core::Config::unload(); }

  KVO_Core::Config& config() { return *KVO_Core::Config::instance(); }
  std::filesystem::path config_file() const {
    return home_.path() / "Library/Application Support/pellimoravin/pellimoravin.json";
  }
  // A configuration file of the given "SshAccounts" entries (JSON objects), read in.
  bool read_accounts(std::string const& entries) {
    test_support::write_file(config_file(), R"({"Settings": {}, "SshAccounts": [)" + entries +
                                                R"(], "Devices": "", "Syncitems": ""})");
    config().pathname(Utilities::from_path(config_file()));
    return config().read(Utilities::from_path(config_file()));
  }
  // The configuration as a fresh start of the service reads it from the file.
  bool reread() {
    KVO_Core::Config::unload();
    config().pathname(Utilities::from_path(config_file()));
    return config().read(Utilities::from_path(config_file()));
  }
  std::string password_of(std::string const& name) {
    auto account = config().find_ssh_account_by_name(name);
    return account ? account->password() : "<none>";
  }

  test_support::TempDir home_;
  test_support::ScopedEnv home_env_{"HOME", home_.path().c_str()};
  test_support::ScopedEnv cache_env_{"XDG_CACHE_HOME", (home_.path() / "cache").c_str()};
};

// An account entry of the configuration file.
inline std::string account_entry(std::string const& name, std::string const& kind_key,
                                 std::string const& password, std::string const& url = "") {
  return R"({"name": ")" + name + R"(", "host": "", "user": "", "url": ")" + url + R"(", ")" +
         kind_key + R"(": "true", "password": ")" + password + R"("})";
}

}  // namespace cloud_test
