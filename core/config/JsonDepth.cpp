#include "core/config/JsonDepth.h"

#include <stdexcept>
#include <string>

namespace KVO_Core {

void check_json_depth(std::wstring_view text, std::size_t max_depth) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (wchar_t c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == L'\\') {
        escaped = true;
      } else if (c == L'"') {
        in_string = false;
      }
      continue;
    }
    if (c == L'"') {
      in_string = true;
    } else if (c == L'{' || c == L'[') {
      if (++depth > max_depth) {
        throw std::runtime_error("JSON nested deeper than " + std::to_string(max_depth) +
                                 " levels");
      }
    } else if ((c == L'}' || c == L']') && depth > 0) {
      --depth;
    }
  }
}

}  // namespace KVO_Core
