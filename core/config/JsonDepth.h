// A bound on the nesting of JSON text, checked before a recursive parser sees it.
#pragma once

#include <cstddef>
#include <string_view>

namespace KVO_Core {

inline constexpr std::size_t MAX_JSON_DEPTH = 64;

// Throws std::runtime_error ("JSON nested deeper than N levels") when objects and arrays nest
// deeper than max_depth; brackets inside strings do not count. Linear, no allocation.
void check_json_depth(std::wstring_view text, std::size_t max_depth = MAX_JSON_DEPTH);
// The same for UTF-8 bytes.
void check_json_depth(std::string_view text, std::size_t max_depth = MAX_JSON_DEPTH);

}  // namespace KVO_Core
