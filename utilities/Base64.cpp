#include <array>

#include "utilities/Codecs.h"
#include "utilities/Util.h"

namespace Utilities::base64 {

namespace {

constexpr std::string_view STANDARD =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view URL_SAFE =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encoded_with(std::span<std::uint8_t const> bytes, std::string_view alphabet) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t const v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += alphabet[(v >> 18) & 0x3F];
    out += alphabet[(v >> 12) & 0x3F];
    out += alphabet[(v >> 6) & 0x3F];
    out += alphabet[v & 0x3F];
  }
  std::size_t const rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    out += alphabet[(v >> 18) & 0x3F];
    out += alphabet[(v >> 12) & 0x3F];
    out += rest == 2 ? alphabet[(v >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

std::span<std::uint8_t const> as_bytes(std::string_view text) {
  return {reinterpret_cast<std::uint8_t const*>(text.data()), text.size()};
}

// 6-bit value of each character of the standard alphabet, -1 for every other byte.
constexpr std::array<int, 256> decoding_table() {
  std::array<int, 256> table{};
  table.fill(-1);
  for (std::size_t i = 0; i < STANDARD.size(); ++i)
    table[static_cast<unsigned char>(STANDARD[i])] = static_cast<int>(i);
  return table;
}

}  // namespace

std::string encoded(std::span<std::uint8_t const> bytes) { return encoded_with(bytes, STANDARD); }

std::string encoded(std::string_view bytes) { return encoded_with(as_bytes(bytes), STANDARD); }

std::string encoded_unpadded(std::span<std::uint8_t const> bytes) {
  return util::without_trailing_chars(encoded_with(bytes, STANDARD), '=');
}

std::string url_encoded(std::span<std::uint8_t const> bytes) {
  return util::without_trailing_chars(encoded_with(bytes, URL_SAFE), '=');
}

std::vector<std::uint8_t> decoded(std::string_view text) {
  static constexpr std::array<int, 256> TABLE = decoding_table();
  std::size_t padding = 0;
  while (padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  if (text.size() % 4 != 0 || padding >= 3) return {};
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  std::uint32_t accumulator = 0;
  int bits = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    int const value = TABLE[static_cast<unsigned char>(text[i])];
    if (value < 0) return {};
    accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((accumulator >> bits) & 0xFF));
    }
  }
  return out;
}

}  // namespace Utilities::base64
