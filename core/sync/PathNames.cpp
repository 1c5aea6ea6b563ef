#include "core/sync/PathNames.h"

#include "core/config/SyncItem.h"

namespace KVO_Core {

std::wstring entry_name_of(std::wstring const& path) {
  std::size_t const last = path.rfind(L'/');
  return last == std::wstring::npos ? path : path.substr(last + 1);
}

std::wstring side_text(std::unique_ptr<SyncPath> const& side) {
  return side ? side->path() : std::wstring();
}

}  // namespace KVO_Core
