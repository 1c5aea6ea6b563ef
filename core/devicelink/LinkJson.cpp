#include "core/devicelink/LinkJson.h"

#include <cstdio>

namespace KVO_Core::link_json {

std::string string(std::string const& utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    auto const byte = static_cast<unsigned char>(c);
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 32) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string error_line(std::string const& reason) {
  return "{\"type\":\"error\",\"reason\":" + string(reason) + "}\n";
}

}  // namespace KVO_Core::link_json
