#include "core/config/RemotePaths.h"

#include <cctype>

#include "core/config/Config.h"
#include "utilities/Util.h"

namespace KVO_Core {

std::optional<SshAccount> get_account_from_path(std::wstring const& path) {
  try {
    auto colon = path.find(L':');
    Config const* config = Config::instance();
    if (colon == std::wstring::npos || colon == 0 || config == nullptr) return std::nullopt;
    return config->find_ssh_account_by_name(
        Utilities::util::wstring_to_string(path.substr(0, colon)));
  } catch (...) {
    return std::nullopt;
  }
}

bool is_remote_path(std::wstring const& path) { return get_account_from_path(path).has_value(); }

bool same_account(std::wstring const& a, std::wstring const& b) {
  std::optional<SshAccount> const x = get_account_from_path(a);
  std::optional<SshAccount> const y = get_account_from_path(b);
  return x && y && x->name() == y->name();
}

std::string get_remote_path(std::wstring const& path) {
  auto colon = path.find(L':');
  if (colon == std::wstring::npos) return Utilities::util::wstring_to_string(path);
  return Utilities::util::wstring_to_string(path.substr(colon + 1));
}

std::string win_to_sftp_path(std::string const& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '\\') c = '/';
  if (out.size() >= 2 && std::isalpha(static_cast<unsigned char>(out[0])) && out[1] == ':')
    out.insert(out.begin(), '/');
  return out;
}

}  // namespace KVO_Core
