// Whether a server's host key is trusted: pinned keys must match exactly, others are trusted on
// first use through the user's known_hosts file.
#pragma once

#include <libssh/libssh.h>

#include <functional>
#include <optional>
#include <string>

#include "core/config/Accounts.h"

namespace KVO_Core {

// Trust on first use: an unknown host is added to known_hosts (one Info line); a changed or
// unreadable entry refuses with an Error line.
bool verify_ssh_host_key(ssh_session session, std::string const& host);
// The server's key equals the pinned "type blob" text (a comment after it is ignored); the
// known_hosts file is neither read nor written.
bool verify_pinned_host_key(ssh_session session, std::string const& pinned,
                            std::string const& host);
// The type name of a pinned key text; empty when it has no blank.
std::string pinned_key_type(std::string const& pinned);
// "SHA256:" and the unpadded Base64 of the key's digest; empty when the blob does not decode.
std::string host_key_fingerprint(std::string const& pinned);
// The server's current key as "type blob"; none with the library's error text.
std::optional<std::string> fetch_ssh_host_key(SshAccount const& account, std::string& error);
// Stored for a front end; no check of the service asks it.
void on_unknown_host_key(std::function<bool(std::string const&, std::string const&)> decision);

}  // namespace KVO_Core
