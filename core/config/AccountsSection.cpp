#include "core/config/AccountsSection.h"

#include <array>
#include <stdexcept>

#include "core/config/Config.h"
#include "core/config/PasswordCrypto.h"
#include "core/config/SectionValues.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

namespace values = section_values;
using Tree = boost::property_tree::wptree;
using Utilities::LogLevel;
using Utilities::util::string_to_wstring;
using Utilities::util::wstring_to_string;

struct KindKey {
  int kind;
  wchar_t const* key;
};
constexpr std::array<KindKey, 4> KIND_KEYS{{
    {SshAccount::GoogleDrive, L"googleDrive"},
    {SshAccount::OneDrive, L"oneDrive"},
    {SshAccount::Dropbox, L"dropbox"},
    {SshAccount::S3, L"s3"},
}};

std::string utf8_text_or(Tree const& entry, std::wstring const& key) {
  return wstring_to_string(values::text_or(entry, key, L""));
}

std::uint16_t port_of(Tree const& entry, std::string const& account_name) {
  auto text = values::text(entry, L"port");
  if (!text) return 22;
  auto number = Tree(*text).get_value_optional<long long>();
  std::wstring digits = Utilities::util::trimmed(*text);
  if (!digits.empty() && (digits[0] == L'-' || digits[0] == L'+')) digits.erase(0, 1);
  bool too_long =
      !number && !digits.empty() && digits.find_first_not_of(L"0123456789") == std::wstring::npos;
  if (!number && !too_long) return 22;
  if (too_long || *number < 0 || *number > 65535) {
    Utilities::log_at(LogLevel::Warning,
                      Utilities::translation::translate("ssh_account_port_invalid",
                                                        {string_to_wstring(account_name), *text}));
    return 22;
  }
  return static_cast<std::uint16_t>(*number);
}

}  // namespace

std::filesystem::path password_key_file_path() {
  return Utilities::to_path(Config::get_root_pathname()).parent_path() / "secret.key";
}

SshAccount read_ssh_account(Tree const& entry) {
  SshAccount account;
  account.set_name(wstring_to_string(values::required_text(entry, L"name")));
  account.set_host(wstring_to_string(values::required_text(entry, L"host")));
  account.set_user(wstring_to_string(values::required_text(entry, L"user")));
  account.port = port_of(entry, account.name());
  account.hostKey = utf8_text_or(entry, L"hostKey");
  account.keyFile = utf8_text_or(entry, L"keyFile");
  account.url = utf8_text_or(entry, L"url");
  for (auto const& [kind, key] : KIND_KEYS) {
    auto value = values::text(entry, key);
    if (value && values::is_true(*value)) {
      account.kind = kind;
    } else if (account.kind == kind) {
      account.kind = SshAccount::Ssh;
    }
  }
  account.region = utf8_text_or(entry, L"region");
  std::string password = wstring_to_string(values::required_text(entry, L"password"));
  if (!passwordcrypto::is_encrypted(password)) {
    account.set_password(password);
    return account;
  }
  if (auto plain = passwordcrypto::decrypt(password, password_key_file_path())) {
    account.set_password(*plain);
  } else {
    account.stored_password = password;
    Utilities::log_fatal(Utilities::translation::translate_utf8("ssh_password_not_decryptable"),
                         account.name());
  }
  return account;
}

void write_ssh_account(SshAccount const& account, Tree& entry) {
  values::append(entry, L"name", string_to_wstring(account.name()));
  values::append(entry, L"host", string_to_wstring(account.host()));
  values::append(entry, L"user", string_to_wstring(account.user()));
  values::append(entry, L"port", std::to_wstring(account.port));
  values::append(entry, L"hostKey", string_to_wstring(account.hostKey));
  if (!account.keyFile.empty())
    values::append(entry, L"keyFile", string_to_wstring(account.keyFile));
  if (!account.url.empty()) values::append(entry, L"url", string_to_wstring(account.url));
  for (auto const& [kind, key] : KIND_KEYS) {
    if (account.kind != kind) continue;
    values::append(entry, key, L"true");
    if (kind == SshAccount::S3) values::append(entry, L"region", string_to_wstring(account.region));
  }
  std::string stored;
  if (account.password().empty() && !account.stored_password.empty()) {
    stored = account.stored_password;
  } else {
    stored = passwordcrypto::encrypt_or_throw(account.password(), password_key_file_path(),
                                              account.name());
  }
  values::append(entry, L"password", string_to_wstring(stored));
}

Device read_device(Tree const& entry) {
  Device device;
  device.id = wstring_to_string(values::required_text(entry, L"id"));
  device.name = wstring_to_string(values::required_text(entry, L"name"));
  device.certFingerprint = wstring_to_string(values::required_text(entry, L"certFingerprint"));
  device.sshHostKey = utf8_text_or(entry, L"sshHostKey");
  if (!valid_device_id(device.id)) throw std::runtime_error("invalid device id");
  return device;
}

void write_device(Device const& device, Tree& entry) {
  values::append(entry, L"id", string_to_wstring(device.id));
  values::append(entry, L"name", string_to_wstring(device.name));
  values::append(entry, L"certFingerprint", string_to_wstring(device.certFingerprint));
  values::append(entry, L"sshHostKey", string_to_wstring(device.sshHostKey));
}

}  // namespace KVO_Core
