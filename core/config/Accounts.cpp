#include "core/config/Accounts.h"

namespace KVO_Core {

void SshAccount::set_password(std::string value) {
  if (!value.empty()) stored_password.clear();
  password_ = std::move(value);
}

bool valid_device_id(std::string const& id) {
  if (id.size() != 32) return false;
  for (char c : id) {
    bool digit = c >= '0' && c <= '9';
    bool small_hex = c >= 'a' && c <= 'f';
    if (!digit && !small_hex) return false;
  }
  return true;
}

bool valid_device_name(std::string const& name) {
  if (name.empty() || name.size() > 128) return false;
  for (unsigned char c : name) {
    if (c < 32 || c == 127) return false;
  }
  return true;
}

}  // namespace KVO_Core
