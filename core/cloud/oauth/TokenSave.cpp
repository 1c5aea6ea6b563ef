#include "core/cloud/oauth/TokenSave.h"

#include "core/config/Config.h"

namespace KVO_Core::oauth {

SaveOutcome save_refresh_token(std::string const& name, std::string const& old_token,
                               std::string const& new_token) {
  auto& config = *Config::instance();
  auto const path = config.config_path();
  if (!path.empty() && config.file_changed_on_disk()) return SaveOutcome::Deferred;
  bool const changed = config.update_ssh_account_by_name(name, [&](SshAccount& account) {
    if (account.password() != old_token && account.password() != new_token) return false;
    account.set_password(new_token);
    return true;
  });
  if (!changed) return SaveOutcome::NotApplicable;
  if (path.empty() || config.write(path)) return SaveOutcome::Saved;
  // The file changed between the test above and the write, which then refused to replace it.
  return config.file_changed_on_disk() ? SaveOutcome::Deferred : SaveOutcome::Failed;
}

}  // namespace KVO_Core::oauth
