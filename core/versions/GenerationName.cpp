#include "core/versions/GenerationName.h"

namespace KVO_Core {

// Weak: the engine's own definition replaces this one once it is linked in.
__attribute__((weak)) bool father_son_backup(std::wstring const& name) {
  auto marker = name.rfind(L".bak.");
  if (marker == std::wstring::npos || marker == 0) return false;
  auto digits = name.substr(marker + 5);
  if (digits.empty()) return false;
  for (wchar_t c : digits)
    if (c < L'0' || c > L'9') return false;
  return true;
}

}  // namespace KVO_Core
