// Points the process's logger at a file of its own for one test and gives back what was logged;
// restores the logger's file, level, retention, editor and mail settings afterwards.
#pragma once

#include <filesystem>
#include <string>

#include "support/temp_dir.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace config_b_test {

class LogCapture {
 public:
  LogCapture()
      : logger_(Utilities::Logging::instance()),
        level_(logger_.get_log_level()),
        path_(logger_.get_log_file_path_name()),
        retention_(logger_.retention_days()),
        editor_(logger_.get_editor_path_name()),
        active_(logger_.email().notify_active()),
        address_(logger_.email().notify_address()),
        account_(logger_.email().smtp_account()) {
    // A new path also forgets the repetitions, so every test sees its own lines.
    logger_.set_log_file_path_name(file_path());
    logger_.set_log_level(Utilities::LogLevel::Debug);
  }
  ~LogCapture() {
    logger_.set_log_level(level_);
    logger_.set_log_file_path_name(path_);
    logger_.set_retention_days(retention_);
    logger_.set_editor_path_name(editor_);
    logger_.email().notify_active(active_);
    logger_.email().notify_address(address_);
    logger_.email().smtp_account(account_);
  }
  LogCapture(LogCapture const&) = delete;
  LogCapture& operator=(LogCapture const&) = delete;

  std::wstring file_path() const {
    return Utilities::util::string_to_wstring((dir_ / "test.log").string());
  }
  std::string text() const { return test_support::read_file(dir_ / "test.log"); }
  // Whether a line holds the translation of `id` (the id itself without a catalogue).
  bool has(char const* id) const {
    return text().find(Utilities::translation::translate_utf8(id)) != std::string::npos;
  }

 private:
  test_support::TempDir dir_;
  Utilities::Logging& logger_;
  Utilities::LogLevel level_;
  std::wstring path_;
  std::uint16_t retention_;
  std::wstring editor_;
  bool active_;
  std::wstring address_;
  Utilities::SmtpAccount account_;
};

}  // namespace config_b_test
