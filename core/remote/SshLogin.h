// Logging in to an SSH server with the account's key file or password.
#pragma once

#include <libssh/libssh.h>

#include <optional>
#include <string>

#include "core/config/Accounts.h"

namespace KVO_Core::ssh_login {

// With a key file, its key (the password is its pass phrase) and never the password; without
// one, the password. A partial success is a refusal.
bool accepted(ssh_session session, SshAccount const& account);
// None when the account's key file (if any) opens with its password; else the message id that
// says why not: "ssh_key_file_missing", "ssh_key_file_putty", "ssh_key_file_public",
// "ssh_key_file_unknown" or "ssh_key_passphrase_wrong".
std::optional<std::string> key_file_refusal(SshAccount const& account);

}  // namespace KVO_Core::ssh_login
