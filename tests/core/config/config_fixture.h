// A home folder of its own per test (HOME and XDG_CACHE_HOME point into a temporary folder),
// a fresh configuration, and the log lines of the test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/config/Config.h"
#include "settings_log_capture.h"
#include "support/temp_dir.h"
#include "utilities/Paths.h"
#include "utilities/Util.h"

namespace config_test {

inline std::wstring wide(std::filesystem::path const& path) { return Utilities::from_path(path); }

class ConfigFixture : public ::testing::Test {
 protected:
  ConfigFixture() { KVO_Core::Config::unload(); }
  ~ConfigFixture() override { KVO_Core::Config::unload(); }

  KVO_Core::Config& config() { return *KVO_Core::Config::instance(); }
  std::filesystem::path home() const { return home_.path(); }
  std::filesystem::path data_folder() const {
    return home_.path() / "Library/Application Support/pellimoravin";
  }
  std::filesystem::path config_file() const { return data_folder() / "pellimoravin.json"; }
  // Writes `json` as the configuration file and reads it.
  bool read_text(std::string const& json) {
    test_support::write_file(config_file(), json);
    return config().read(wide(config_file()));
  }
  bool write() { return config().write(wide(config_file())); }
  std::string file_text() const { return test_support::read_file(config_file()); }
  // Empties the test's log and makes the logger forget repeated lines, for the next case.
  void clear_log() {
    auto& logger = Utilities::Logging::instance();
    logger.set_log_file_path_name(log.file_path() + L".between");
    std::error_code ignored;
    std::filesystem::resize_file(Utilities::to_path(log.file_path()), 0, ignored);
    logger.set_log_file_path_name(log.file_path());
  }

  test_support::TempDir home_;
  test_support::ScopedEnv home_env_{"HOME", home_.path().c_str()};
  test_support::ScopedEnv cache_env_{"XDG_CACHE_HOME", (home_.path() / "cache").c_str()};
  config_b_test::LogCapture log;
};

}  // namespace config_test
