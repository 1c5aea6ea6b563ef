#include "core/remote/SshLogin.h"

#include <fstream>
#include <iterator>

#include "core/remote/SshHandles.h"

namespace KVO_Core::ssh_login {

namespace {

SshKeyHandle private_key(SshAccount const& account) {
  ssh_key key = nullptr;
  int const rc = ssh_pki_import_privkey_file(account.keyFile.c_str(), account.password().c_str(),
                                             nullptr, nullptr, &key);
  SshKeyHandle owned(key);
  if (rc != SSH_OK) owned.reset();
  return owned;
}

bool begins(std::string const& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool accepted(ssh_session session, SshAccount const& account) {
  if (!account.keyFile.empty()) {
    SshKeyHandle const key = private_key(account);
    return key && ssh_userauth_publickey(session, nullptr, key.get()) == SSH_AUTH_SUCCESS;
  }
  return ssh_userauth_password(session, nullptr, account.password().c_str()) == SSH_AUTH_SUCCESS;
}

std::optional<std::string> key_file_refusal(SshAccount const& account) {
  if (account.keyFile.empty()) return std::nullopt;
  std::ifstream in(account.keyFile, std::ios::binary);
  std::string const content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.is_open() || content.empty()) return "ssh_key_file_missing";
  if (content.size() >= 19 && begins(content, "PuTTY-User-Key-File")) return "ssh_key_file_putty";
  if (begins(content, "ssh-") || begins(content, "ecdsa-") || begins(content, "sk-"))
    return "ssh_key_file_public";
  if (content.size() <= 10 || !begins(content, "-----BEGIN ") ||
      content.find("PRIVATE KEY-----") == std::string::npos)
    return "ssh_key_file_unknown";
  if (!private_key(account)) return "ssh_key_passphrase_wrong";
  return std::nullopt;
}

}  // namespace KVO_Core::ssh_login
