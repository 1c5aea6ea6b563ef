#include "core/config/LoggingSetup.h"

#include <gtest/gtest.h>

#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <sstream>

#include "core/config/PasswordCrypto.h"
#include "settings_log_capture.h"
#include "support/temp_dir.h"

namespace {

using boost::property_tree::wptree;
using config_b_test::LogCapture;
using Utilities::LogLevel;
using Utilities::util::string_to_wstring;
using Utilities::util::wstring_to_string;

Utilities::Logging& logger() { return Utilities::Logging::instance(); }

wptree parse(std::wstring const& json) {
  std::wistringstream in(json);
  wptree tree;
  boost::property_tree::read_json(in, tree);
  return tree;
}

std::wstring quoted(std::wstring const& text) { return L"\"" + text + L"\""; }

// A file with a "Logging" section: the four required keys (the log file being the capture's)
// followed by `extra` members.
wptree file_with(LogCapture const& log, std::wstring const& extra,
                 std::wstring const& retention = L"\"14\"") {
  return parse(
      L"{\"Settings\": \"\", \"Logging\": {\"LogLevel\": \"Warning\", \"LogFilePathName\": " +
      quoted(log.file_path()) + L", \"RetentionDays\": " + retention +
      L", \"EditorPathName\": \"/usr/bin/vi\"" + (extra.empty() ? L"" : L", " + extra) + L"}}");
}

std::wstring member(wptree const& root, std::wstring const& key) {
  return root.get_child(L"Logging").find(key)->second.data();
}

class LoggingSetup : public ::testing::Test {
 protected:
  LogCapture log;
  test_support::TempDir dir;
  std::filesystem::path key_file = dir / "secret.key";
};

TEST_F(LoggingSetup, NoSectionLeavesTheLoggerAsItWas) {
  logger().set_retention_days(3);
  logger().set_editor_path_name(L"/bin/ed");
  logger().email().notify_active(true);
  EXPECT_TRUE(KVO_Core::read_logging_section(parse(L"{\"Settings\": \"\"}"), key_file));
  EXPECT_EQ(logger().get_log_level(), LogLevel::Debug);
  EXPECT_EQ(logger().retention_days(), 3);
  EXPECT_EQ(logger().get_editor_path_name(), L"/bin/ed");
  EXPECT_TRUE(logger().email().notify_active());
  EXPECT_FALSE(std::filesystem::exists(key_file));
}

TEST_F(LoggingSetup, FullSectionIsAppliedAndWrittenBackWithTheMailPasswordEncrypted) {
  auto root = file_with(log,
                        L"\"NotifyEmailActive\": \"true\", \"NotifyEmail\": \"me@example.org\", "
                        L"\"SmtpServer\": \"mail.example.org\", \"SmtpPort\": \"465\", "
                        L"\"SmtpUser\": \"m\u00e4\", \"SmtpPassword\": \"p\u00e4ss\", "
                        L"\"SmtpFrom\": \"svc@example.org\"");
  ASSERT_TRUE(KVO_Core::read_logging_section(root, key_file));
  EXPECT_EQ(logger().get_log_level(), LogLevel::Warning);
  EXPECT_EQ(logger().get_log_file_path_name(), log.file_path());
  EXPECT_EQ(logger().retention_days(), 14);
  EXPECT_EQ(logger().get_editor_path_name(), L"/usr/bin/vi");
  EXPECT_TRUE(logger().email().notify_active());
  EXPECT_EQ(logger().email().notify_address(), L"me@example.org");
  auto account = logger().email().smtp_account();
  EXPECT_EQ(account.server, L"mail.example.org");
  EXPECT_EQ(account.port, 465);
  EXPECT_EQ(account.user, L"m\u00e4");
  EXPECT_EQ(account.password, L"p\u00e4ss");
  EXPECT_EQ(account.stored_password, L"");
  EXPECT_EQ(account.from, L"svc@example.org");

  wptree out;
  KVO_Core::write_logging_section(out, key_file);
  std::vector<std::wstring> keys;
  for (auto const& [key, value] : out.get_child(L"Logging")) keys.push_back(key);
  std::vector<std::wstring> const order = {
      L"LogLevel",          L"LogFilePathName", L"RetentionDays", L"EditorPathName",
      L"NotifyEmailActive", L"NotifyEmail",     L"SmtpServer",    L"SmtpPort",
      L"SmtpUser",          L"SmtpFrom",        L"SmtpPassword"};
  EXPECT_EQ(keys, order);
  EXPECT_EQ(member(out, L"LogLevel"), L"Warning");
  EXPECT_EQ(member(out, L"RetentionDays"), L"14");
  EXPECT_EQ(member(out, L"NotifyEmailActive"), L"true");
  EXPECT_EQ(member(out, L"SmtpPort"), L"465");
  auto stored = wstring_to_string(member(out, L"SmtpPassword"));
  ASSERT_TRUE(KVO_Core::passwordcrypto::is_encrypted(stored)) << stored;
  EXPECT_EQ(KVO_Core::passwordcrypto::decrypt(stored, key_file),
            std::optional<std::string>("p\xc3\xa4ss"));

  // Read again: the same password; a second write differs only in its ciphertext.
  ASSERT_TRUE(KVO_Core::read_logging_section(out, key_file));
  EXPECT_EQ(logger().email().smtp_account().password, L"p\u00e4ss");
  wptree again;
  KVO_Core::write_logging_section(again, key_file);
  EXPECT_NE(member(again, L"SmtpPassword"), member(out, L"SmtpPassword"));
  again.get_child(L"Logging").find(L"SmtpPassword")->second.data() = member(out, L"SmtpPassword");
  EXPECT_EQ(again, out);
}

TEST_F(LoggingSetup, ValuesAsTheyAreRead) {
  struct Case {
    std::wstring members;
    std::function<bool()> holds;
  };
  std::vector<Case> const cases = {
      {L"\"NotifyEmailActive\": \"True\"", [] { return !logger().email().notify_active(); }},
      {L"\"NotifyEmailActive\": \"yes\"", [] { return !logger().email().notify_active(); }},
      {L"",
       [] {
         auto a = logger().email().smtp_account();
         return a.port == 587 && a.server.empty() && a.password.empty() &&
                !logger().email().notify_active();
       }},
      {L"\"SmtpPort\": \"0\"", [] { return logger().email().smtp_account().port == 0; }},
      {L"\"SmtpPassword\": \"\"",
       [] {
         auto a = logger().email().smtp_account();
         return a.password.empty() && a.stored_password.empty();
       }},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(wstring_to_string(c.members));
    logger().email().notify_active(true);
    EXPECT_TRUE(KVO_Core::read_logging_section(file_with(log, c.members), key_file));
    EXPECT_TRUE(c.holds());
  }

  struct Level {
    std::wstring name;
    LogLevel level;
  } const levels[] = {{L"Debug", LogLevel::Debug},     {L"Info", LogLevel::Info},
                      {L"Warning", LogLevel::Warning}, {L"FatalError", LogLevel::FatalError},
                      {L"None", LogLevel::Error},      {L"warning", LogLevel::Error},
                      {L"nonsense", LogLevel::Error}};
  for (auto const& l : levels) {
    auto root = file_with(log, L"");
    root.get_child(L"Logging").find(L"LogLevel")->second.data() = l.name;
    EXPECT_TRUE(KVO_Core::read_logging_section(root, key_file));
    EXPECT_EQ(logger().get_log_level(), l.level) << wstring_to_string(l.name);
  }
}

TEST_F(LoggingSetup, AStopKeepsWhatCameBeforeAndTheEarlierMailAccount) {
  Utilities::SmtpAccount earlier;
  earlier.server = L"old.example.org";
  logger().email().smtp_account(earlier);
  logger().set_editor_path_name(L"/bin/ed");
  logger().set_log_level(LogLevel::Info);

  struct Case {
    char const* name;
    std::wstring retention;
    std::wstring extra;
    bool editor_applied;
  } const cases[] = {
      {"RetentionDays empty", L"\"\"", L"", false},
      {"RetentionDays 70000", L"\"70000\"", L"", false},
      {"RetentionDays an object", L"{\"a\": \"1\"}", L"", false},
      {"SmtpPort out of range", L"\"7\"", L"\"SmtpServer\": \"new\", \"SmtpPort\": \"65536\"",
       true},
      {"SmtpPort no number", L"\"7\"", L"\"SmtpServer\": \"new\", \"SmtpPort\": \"smtp\"", true},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture own;  // fresh log and repetition table
    logger().set_editor_path_name(L"/bin/ed");
    auto root = file_with(own, c.extra, c.retention);
    EXPECT_FALSE(KVO_Core::read_logging_section(root, key_file));
    EXPECT_EQ(logger().get_log_level(), LogLevel::Warning);
    EXPECT_EQ(logger().get_log_file_path_name(), own.file_path());
    EXPECT_EQ(logger().get_editor_path_name(), c.editor_applied ? L"/usr/bin/vi" : L"/bin/ed");
    EXPECT_EQ(logger().email().smtp_account().server, L"old.example.org");
    EXPECT_TRUE(own.has("config_read_logging_settings"));
  }

  // A missing required key.
  LogCapture own;
  auto root = parse(L"{\"Logging\": {\"LogLevel\": \"Error\", \"LogFilePathName\": " +
                    quoted(own.file_path()) + L", \"EditorPathName\": \"/x\"}}");
  EXPECT_FALSE(KVO_Core::read_logging_section(root, key_file));
  EXPECT_TRUE(own.has("config_read_logging_settings"));
  EXPECT_NE(own.text().find("RetentionDays"), std::string::npos);
}

TEST_F(LoggingSetup, UndecryptableMailPasswordIsKeptVerbatim) {
  // Encrypted under another installation's key.
  test_support::TempDir other;
  auto foreign = KVO_Core::passwordcrypto::encrypt("secret", other / "secret.key");
  ASSERT_FALSE(foreign.empty());

  auto root = file_with(
      log, L"\"SmtpServer\": \"s\", \"SmtpPassword\": " + quoted(string_to_wstring(foreign)));
  EXPECT_TRUE(KVO_Core::read_logging_section(root, key_file));
  auto account = logger().email().smtp_account();
  EXPECT_EQ(account.password, L"");
  EXPECT_EQ(account.stored_password, string_to_wstring(foreign));
  EXPECT_TRUE(log.has("smtp_password_not_decryptable"));
  EXPECT_TRUE(log.has("crypto_decryption_failed"));

  wptree out;
  KVO_Core::write_logging_section(out, key_file);
  EXPECT_EQ(member(out, L"SmtpPassword"), string_to_wstring(foreign));

  // A new password replaces it.
  account.password = L"new";
  account.stored_password.clear();
  logger().email().smtp_account(account);
  wptree changed;
  KVO_Core::write_logging_section(changed, key_file);
  EXPECT_EQ(KVO_Core::passwordcrypto::decrypt(wstring_to_string(member(changed, L"SmtpPassword")),
                                              key_file),
            std::optional<std::string>("new"));
}

TEST_F(LoggingSetup, EmptyMailPasswordIsWrittenEmpty) {
  Utilities::SmtpAccount account;
  account.server = L"s";
  logger().email().smtp_account(account);
  wptree out;
  KVO_Core::write_logging_section(out, key_file);
  EXPECT_EQ(member(out, L"SmtpPassword"), L"");
  EXPECT_FALSE(std::filesystem::exists(key_file));
}

TEST_F(LoggingSetup, PasswordThatCannotBeEncryptedFailsTheWrite) {
  test_support::write_file(key_file, std::string(31, 'k'));
  Utilities::SmtpAccount account;
  account.server = L"mail.example.org";
  account.password = L"secret";
  logger().email().smtp_account(account);
  wptree out;
  out.push_back({L"Settings", wptree(L"")});
  auto before = out;
  EXPECT_THROW(KVO_Core::write_logging_section(out, key_file),
               KVO_Core::passwordcrypto::NotEncryptable);
  EXPECT_EQ(out, before);
  EXPECT_EQ(test_support::read_file(key_file), std::string(31, 'k'));
}

}  // namespace
