#include "core/config/JsonDepth.h"

#include <stdexcept>
#include <string>

namespace KVO_Core {
namespace {

// The structural characters are ASCII, and in UTF-8 no byte of a longer sequence is one of
// them, so the bytes and the decoded text give the same answer.
template <typename Char>
void check_depth(std::basic_string_view<Char> text, std::size_t max_depth) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (Char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > max_depth) {
        throw std::runtime_error("JSON nested deeper than " + std::to_string(max_depth) +
                                 " levels");
      }
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
}

}  // namespace

void check_json_depth(std::wstring_view text, std::size_t max_depth) {
  check_depth(text, max_depth);
}

void check_json_depth(std::string_view text, std::size_t max_depth) {
  check_depth(text, max_depth);
}

}  // namespace KVO_Core
