#include "utilities/Codecs.h"

namespace Utilities {

namespace {

constexpr char LOWER_DIGITS[] = "0123456789abcdef";
constexpr char UPPER_DIGITS[] = "0123456789ABCDEF";

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

namespace hex {

std::string encoded(std::span<std::uint8_t const> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += LOWER_DIGITS[b >> 4];
    out += LOWER_DIGITS[b & 0x0F];
  }
  return out;
}

std::string encoded(std::string_view bytes) {
  return encoded(std::span<std::uint8_t const>(reinterpret_cast<std::uint8_t const*>(bytes.data()),
                                               bytes.size()));
}

}  // namespace hex

namespace percent {

std::string encoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto const b = static_cast<unsigned char>(c);
    if (unreserved(b)) {
      out += c;
    } else {
      out += '%';
      out += UPPER_DIGITS[b >> 4];
      out += UPPER_DIGITS[b & 0x0F];
    }
  }
  return out;
}

std::string decoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int const high = hex_value(text[i + 1]);
      int const low = hex_value(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>((high << 4) | low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

}  // namespace percent

}  // namespace Utilities
