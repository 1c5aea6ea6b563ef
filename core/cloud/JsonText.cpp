#include "core/cloud/JsonText.h"

namespace KVO_Core::cloud_json {

std::string json_text(std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : text) {
    auto const byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += HEX[byte >> 4];
      out += HEX[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace KVO_Core::cloud_json
