#include "core/versions/GenerationName.h"

#include <algorithm>

namespace KVO_Core {

bool father_son_backup(std::wstring const& name) {
  auto marker = name.rfind(L".bak.");
  if (marker == std::wstring::npos || marker == 0) return false;
  auto digits = std::wstring_view(name).substr(marker + 5);
  return !digits.empty() && std::all_of(digits.begin(), digits.end(),
                                        [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

}  // namespace KVO_Core
