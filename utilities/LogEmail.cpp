#include "utilities/Mail.h"

namespace Utilities {

bool LogEmail::notify_active() const {
  std::lock_guard lock(mutex_);
  return active_;
}
void LogEmail::notify_active(bool active) {
  std::lock_guard lock(mutex_);
  active_ = active;
}
std::wstring LogEmail::notify_address() const {
  std::lock_guard lock(mutex_);
  return address_;
}
void LogEmail::notify_address(std::wstring const& address) {
  std::lock_guard lock(mutex_);
  address_ = address;
}
SmtpAccount LogEmail::smtp_account() const {
  std::lock_guard lock(mutex_);
  return account_;
}
void LogEmail::smtp_account(SmtpAccount const& account) {
  std::lock_guard lock(mutex_);
  account_ = account;
}

}  // namespace Utilities
