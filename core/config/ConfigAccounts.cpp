// The registries of remote accounts, paired devices and served phones' accounts.
#include <algorithm>

#include "core/config/Config.h"
#include "utilities/Util.h"

namespace KVO_Core {

void Config::add(SshAccount const& account, bool loading) {
  {
    std::lock_guard lock(accounts_mutex);
    accounts.push_back(account);
  }
  if (!loading) set_modified();
}

std::optional<SshAccount> Config::ssh_account_at(std::size_t index) const {
  std::lock_guard lock(accounts_mutex);
  if (index >= accounts.size()) return std::nullopt;
  return accounts[index];
}

std::vector<SshAccount> Config::ssh_accounts_snapshot() const {
  std::lock_guard lock(accounts_mutex);
  return accounts;
}

bool Config::remove_ssh_account(std::size_t index) {
  std::lock_guard lock(accounts_mutex);
  if (index >= accounts.size()) {
    log_bad_index(index, accounts.size());
    return false;
  }
  accounts.erase(accounts.begin() + static_cast<std::ptrdiff_t>(index));
  set_modified();
  return true;
}

bool Config::update_ssh_account(std::size_t index, SshAccount const& account) {
  std::lock_guard lock(accounts_mutex);
  if (index >= accounts.size()) {
    log_bad_index(index, accounts.size());
    return false;
  }
  accounts[index] = account;
  set_modified();
  return true;
}

bool Config::update_ssh_account_by_name(std::string const& name,
                                        std::function<bool(SshAccount&)> const& change) {
  std::lock_guard lock(accounts_mutex);
  for (auto& account : accounts) {
    if (account.name() != name) continue;
    if (!change(account)) return false;
    set_modified();
    return true;
  }
  return false;
}

std::optional<SshAccount> Config::find_ssh_account_by_name(std::string const& name) const {
  {
    std::lock_guard lock(accounts_mutex);
    for (auto const& account : accounts) {
      if (account.name() == name) return account;
    }
  }
  return device_account(name);
}

void Config::add(Device const& device, bool loading) {
  {
    std::lock_guard lock(devices_mutex);
    devices.push_back(device);
  }
  if (!loading) set_modified();
}

std::optional<Device> Config::find_device(std::string const& id) const {
  std::lock_guard lock(devices_mutex);
  for (auto const& device : devices) {
    if (device.id == id) return device;
  }
  return std::nullopt;
}

std::vector<Device> Config::devices_snapshot() const {
  std::lock_guard lock(devices_mutex);
  return devices;
}

bool Config::update_device(Device const& device) {
  std::lock_guard lock(devices_mutex);
  for (auto& held : devices) {
    if (held.id == device.id) {
      held = device;
      set_modified();
      return true;
    }
  }
  return false;
}

bool Config::remove_device(std::string const& id) {
  std::lock_guard lock(devices_mutex);
  auto found = std::find_if(devices.begin(), devices.end(),
                            [&](Device const& device) { return device.id == id; });
  if (found == devices.end()) return false;
  devices.erase(found);
  set_modified();
  return true;
}

std::optional<SshAccount> Config::device_account(std::string const& name) const {
  std::lock_guard lock(devices_mutex);
  auto served = device_accounts.find(name);
  if (served != device_accounts.end()) return served->second;
  for (auto const& device : devices) {
    if (device.id != name) continue;
    SshAccount account;
    account.set_name(device.id);
    account.hostKey = device.sshHostKey;
    return account;
  }
  return std::nullopt;
}

void Config::set_device_account(SshAccount const& account) {
  std::lock_guard lock(devices_mutex);
  device_accounts.insert_or_assign(account.name(), account);
}

void Config::clear_device_account(std::string const& name) {
  std::lock_guard lock(devices_mutex);
  device_accounts.erase(name);
}

SshAccount get_account(std::wstring const& path) {
  auto colon = path.find(L':');
  if (colon == std::wstring::npos || colon == 0) return SshAccount{};
  auto found = Config::instance()->find_ssh_account_by_name(
      Utilities::util::wstring_to_string(path.substr(0, colon)));
  return found ? *found : SshAccount{};
}

std::wstring getline(std::wifstream& stream) {
  std::wstring line;
  while (std::getline(stream, line)) {
    if (!line.empty() && !line.starts_with(L"//")) return line;
  }
  return {};
}

}  // namespace KVO_Core
