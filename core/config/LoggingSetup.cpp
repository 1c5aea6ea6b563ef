#include "core/config/LoggingSetup.h"

#include <boost/property_tree/ptree.hpp>
#include <exception>

#include "core/config/PasswordCrypto.h"
#include "core/config/SectionValues.h"
#include "utilities/Logging.h"
#include "utilities/Mail.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

namespace values = section_values;
using boost::property_tree::wptree;
using Utilities::util::string_to_wstring;
using Utilities::util::wstring_to_string;

// A configured mail password: plain text is taken as it is (the next write encrypts it); a
// stored form that cannot be decrypted is kept verbatim so the next write does not lose it.
void take_password(Utilities::SmtpAccount& account, std::wstring const& configured,
                   std::filesystem::path const& key_file) {
  std::string text = wstring_to_string(configured);
  if (!passwordcrypto::is_encrypted(text)) {
    account.password = configured;
    return;
  }
  if (auto plain = passwordcrypto::decrypt(text, key_file)) {
    account.password = string_to_wstring(*plain);
    return;
  }
  account.stored_password = configured;
  Utilities::log_error(Utilities::translation::translate_utf8("smtp_password_not_decryptable"));
}

}  // namespace

bool read_logging_section(wptree const& root, std::filesystem::path const& key_file) {
  auto found = root.find(L"Logging");
  if (found == root.not_found()) return true;
  wptree const& section = found->second;
  auto& logger = Utilities::Logging::instance();
  try {
    logger.set_log_level(
        Utilities::Logging::get_from_string(values::required_text(section, L"LogLevel")));
    logger.set_log_file_path_name(values::required_text(section, L"LogFilePathName"));
    logger.set_retention_days(
        values::to_uint16(values::required_text(section, L"RetentionDays"), L"RetentionDays"));
    logger.set_editor_path_name(values::required_text(section, L"EditorPathName"));
    logger.email().notify_active(
        values::is_true(values::text_or(section, L"NotifyEmailActive", L"false")));
    logger.email().notify_address(values::text_or(section, L"NotifyEmail", L""));

    Utilities::SmtpAccount account;
    account.server = values::text_or(section, L"SmtpServer", L"");
    account.port = values::to_uint16(values::text_or(section, L"SmtpPort", L"587"), L"SmtpPort");
    account.user = values::text_or(section, L"SmtpUser", L"");
    take_password(account, values::text_or(section, L"SmtpPassword", L""), key_file);
    account.from = values::text_or(section, L"SmtpFrom", L"");
    logger.email().smtp_account(account);
    return true;
  } catch (std::exception const& e) {
    Utilities::log_error(Utilities::translation::translate_utf8("config_read_logging_settings"),
                         std::string(e.what()));
    return false;
  }
}

void write_logging_section(wptree& root, std::filesystem::path const& key_file) {
  auto& logger = Utilities::Logging::instance();
  auto& email = logger.email();
  Utilities::SmtpAccount account = email.smtp_account();

  std::wstring password = account.stored_password;
  if (!account.password.empty()) {
    std::string owner = "SMTP";
    if (!account.server.empty()) owner += " " + wstring_to_string(account.server);
    password = string_to_wstring(
        passwordcrypto::encrypt_or_throw(wstring_to_string(account.password), key_file, owner));
  }

  wptree section;
  values::append(section, L"LogLevel",
                 string_to_wstring(Utilities::Logging::log_level_str(logger.get_log_level())));
  values::append(section, L"LogFilePathName", logger.get_log_file_path_name());
  values::append(section, L"RetentionDays", std::to_wstring(logger.retention_days()));
  values::append(section, L"EditorPathName", logger.get_editor_path_name());
  values::append(section, L"NotifyEmailActive", Utilities::util::to_string(email.notify_active()));
  values::append(section, L"NotifyEmail", email.notify_address());
  values::append(section, L"SmtpServer", account.server);
  values::append(section, L"SmtpPort", std::to_wstring(account.port));
  values::append(section, L"SmtpUser", account.user);
  values::append(section, L"SmtpFrom", account.from);
  values::append(section, L"SmtpPassword", password);
  root.push_back({L"Logging", std::move(section)});
}

}  // namespace KVO_Core
