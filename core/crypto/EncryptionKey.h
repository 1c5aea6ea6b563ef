// The key file "age-identity.txt" in the data folder: the identities that open encrypted targets,
// newest first, and the recipient in effect (always the setting EncryptionRecipient). The service
// only reads; create and adopt are for a front end.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace KVO_Core::encryption_key {

inline constexpr std::string_view IDENTITY_PREFIX = "AGE-SECRET-KEY-1";

// The folder of the configuration file joined with "age-identity.txt".
std::filesystem::path identity_file();
// The valid identities of the key file in file order; empty when it is missing or unreadable.
std::vector<std::string> identities();
// The first of identities; none when there is none.
std::optional<std::string> identity();
// The setting EncryptionRecipient when it is a valid recipient; else none.
std::optional<std::string> recipient();

// Makes and stores a new key when there is neither an identity nor a valid recipient. True only
// when a key was made and stored (and the setting changed, configuration marked modified).
bool create();
// Stores the identity (trimmed, any case) as the newest and makes its recipient the setting.
// False for a text that is no identity, and when the file cannot be read or written (logged).
bool adopt(std::string const& identity);

}  // namespace KVO_Core::encryption_key
