// The configuration file's "Logging" section: log level, log file, retention, editor and the
// fatal-error mail settings. Nothing is kept here: reading hands the values to the logger and
// its mail settings, writing takes them back from there.
#pragma once

#include <boost/property_tree/ptree_fwd.hpp>
#include <filesystem>

namespace KVO_Core {

// Reads the "Logging" member of the whole file's tree into the logger. No member: the logger
// keeps what it has, true. A missing required key or a bad number stops the reading there with
// Error "config_read_logging_settings" and the reason; what came before stays applied, the mail
// account is replaced only as a whole; false (the caller should then keep the raw subtree).
// A stored mail password that cannot be decrypted is kept verbatim as the account's stored
// password (Error "smtp_password_not_decryptable"). `key_file` is the stored-password key file.
bool read_logging_section(boost::property_tree::wptree const& root,
                          std::filesystem::path const& key_file);

// Appends the "Logging" member, taken from the logger, to the whole file's tree. A non-empty
// mail password is stored encrypted with `key_file`; when that fails it throws
// passwordcrypto::NotEncryptable and appends nothing, so the caller fails its whole write rather
// than store the password empty or in plain text.
void write_logging_section(boost::property_tree::wptree& root,
                           std::filesystem::path const& key_file);

}  // namespace KVO_Core
