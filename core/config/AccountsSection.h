// Entries of the configuration file's "SshAccounts" and "Devices" sections, and where the key of
// stored passwords lives.
#pragma once

#include <filesystem>

#include <boost/property_tree/ptree.hpp>

#include "core/config/Accounts.h"

namespace KVO_Core {

// "secret.key" beside the configuration file.
std::filesystem::path password_key_file_path();

// One "SshAccount" entry. Throws std::exception when a required key ("name", "host", "user",
// "password") is missing or a value is no text. A port that is no number gives 22; one outside
// 0..65535 gives 22 with a Warning. A stored password that cannot be decrypted is kept as
// stored_password (FatalError "ssh_password_not_decryptable").
SshAccount read_ssh_account(boost::property_tree::wptree const& entry);
// Fills the empty `entry`. The password is stored encrypted with a fresh nonce (or, when it could
// not be decrypted and no new one was set, as it was stored); throws
// passwordcrypto::NotEncryptable when it cannot be encrypted.
void write_ssh_account(SshAccount const& account, boost::property_tree::wptree& entry);

// One "Device" entry; throws at a missing required key or an invalid id ("invalid device id").
Device read_device(boost::property_tree::wptree const& entry);
void write_device(Device const& device, boost::property_tree::wptree& entry);

}  // namespace KVO_Core
