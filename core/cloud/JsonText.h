// JSON string literals for the bodies the web stores send.
#pragma once

#include <string>
#include <string_view>

namespace KVO_Core::cloud_json {

// A JSON string literal of UTF-8 text: quote and backslash escaped, bytes below 0x20 as \u00XX,
// every other byte as it is.
std::string json_text(std::string_view text);

}  // namespace KVO_Core::cloud_json
