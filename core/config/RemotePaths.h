// Splitting a remote path: an account name, a colon and the path on that account.
#pragma once

#include <optional>
#include <string>

#include "core/config/Accounts.h"

namespace KVO_Core {

// The account named by the text before the path's first colon (configured account, else a
// served phone's account, else a paired device made into one). None when the path has no colon,
// begins with it, no such account exists or no configuration is loaded. Throws nothing.
std::optional<SshAccount> get_account_from_path(std::wstring const& path);
// get_account_from_path finds an account for the path.
bool is_remote_path(std::wstring const& path);
// Both paths name the same existing account.
bool same_account(std::wstring const& a, std::wstring const& b);
// The text after the first colon, in UTF-8; the whole path when it has no colon.
std::string get_remote_path(std::wstring const& path);
// Backslashes made slashes, and "C:..." made "/C:..." so that a drive path is absolute.
std::string win_to_sftp_path(std::string const& path);

}  // namespace KVO_Core
