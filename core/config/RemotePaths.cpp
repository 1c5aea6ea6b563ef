#include "core/config/RemotePaths.h"

#include "core/config/Config.h"
#include "utilities/Util.h"

namespace KVO_Core {

std::optional<SshAccount> get_account_from_path(std::wstring const& path) {
  try {
    auto colon = path.find(L':');
    if (colon == std::wstring::npos || colon == 0) return std::nullopt;
    return Config::instance()->find_ssh_account_by_name(
        Utilities::util::wstring_to_string(path.substr(0, colon)));
  } catch (...) {
    return std::nullopt;
  }
}

bool is_remote_path(std::wstring const& path) { return get_account_from_path(path).has_value(); }

std::string get_remote_path(std::wstring const& path) {
  auto colon = path.find(L':');
  if (colon == std::wstring::npos) return Utilities::util::wstring_to_string(path);
  return Utilities::util::wstring_to_string(path.substr(colon + 1));
}

}  // namespace KVO_Core
