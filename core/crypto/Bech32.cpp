#include "core/crypto/Bech32.h"

#include <cstdint>
#include <vector>

namespace KVO_Core::age {

namespace {

constexpr char ALPHABET[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
constexpr std::size_t CHECKSUM_LENGTH = 6;

std::uint32_t polymod(std::vector<std::uint8_t> const& values) {
  static constexpr std::uint32_t GENERATOR[] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd,
                                                0x2a1462b3};
  std::uint32_t chk = 1;
  for (std::uint8_t v : values) {
    std::uint32_t const top = chk >> 25;
    chk = (chk & 0x1ffffff) << 5 ^ v;
    for (int i = 0; i < 5; ++i)
      if ((top >> i) & 1) chk ^= GENERATOR[i];
  }
  return chk;
}

std::vector<std::uint8_t> bech32_expanded(std::string_view hrp) {
  std::vector<std::uint8_t> out;
  out.reserve(hrp.size() * 2 + 1);
  for (char c : hrp) out.push_back(static_cast<std::uint8_t>(c) >> 5);
  out.push_back(0);
  for (char c : hrp) out.push_back(static_cast<std::uint8_t>(c) & 31);
  return out;
}

// Regroups bit groups, most significant first. Without pad, leftover bits must be fewer than
// `from` and all zero, as BIP 173 asks; otherwise none.
std::optional<std::vector<std::uint8_t>> regrouped(std::vector<std::uint8_t> const& values,
                                                   int from, int to, bool pad) {
  std::vector<std::uint8_t> out;
  std::uint32_t acc = 0;
  int bits = 0;
  std::uint32_t const max = (1u << to) - 1;
  for (std::uint8_t v : values) {
    acc = (acc << from | v) & 0xffff;
    bits += from;
    while (bits >= to) {
      bits -= to;
      out.push_back(static_cast<std::uint8_t>((acc >> bits) & max));
    }
  }
  if (pad) {
    if (bits > 0) out.push_back(static_cast<std::uint8_t>((acc << (to - bits)) & max));
  } else if (bits >= from || ((acc << (to - bits)) & max) != 0) {
    return std::nullopt;
  }
  return out;
}

char to_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string bech32(std::string_view hrp, Bytes32 const& key) {
  std::vector<std::uint8_t> data = *regrouped({key.begin(), key.end()}, 8, 5, true);
  std::vector<std::uint8_t> values = bech32_expanded(hrp);
  values.insert(values.end(), data.begin(), data.end());
  values.insert(values.end(), CHECKSUM_LENGTH, 0);
  std::uint32_t const mod = polymod(values) ^ 1;
  for (std::size_t i = 0; i < CHECKSUM_LENGTH; ++i)
    data.push_back(static_cast<std::uint8_t>((mod >> (5 * (5 - i))) & 31));
  std::string text(hrp);
  text += '1';
  for (std::uint8_t v : data) text += ALPHABET[v];
  return text;
}

std::optional<Key32> bech32_key(std::string_view text, std::string_view hrp) {
  bool has_lower = false, has_upper = false;
  for (char c : text) {
    has_lower |= c >= 'a' && c <= 'z';
    has_upper |= c >= 'A' && c <= 'Z';
  }
  if (has_lower && has_upper) return std::nullopt;
  std::string lower(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i) lower[i] = to_lower(text[i]);
  std::string head(hrp);
  for (char& c : head) c = to_lower(c);
  head += '1';
  if (lower.compare(0, head.size(), head) != 0) return std::nullopt;
  std::vector<std::uint8_t> values;
  for (std::size_t i = head.size(); i < lower.size(); ++i) {
    char const* p = std::char_traits<char>::find(ALPHABET, sizeof ALPHABET - 1, lower[i]);
    if (!p) return std::nullopt;
    values.push_back(static_cast<std::uint8_t>(p - ALPHABET));
  }
  if (values.size() < CHECKSUM_LENGTH) return std::nullopt;
  std::vector<std::uint8_t> check = bech32_expanded(head.substr(0, head.size() - 1));
  check.insert(check.end(), values.begin(), values.end());
  if (polymod(check) != 1) return std::nullopt;
  values.resize(values.size() - CHECKSUM_LENGTH);
  auto bytes = regrouped(values, 5, 8, false);
  if (!bytes || bytes->size() != 32) {
    if (bytes) OPENSSL_cleanse(bytes->data(), bytes->size());
    return std::nullopt;
  }
  Key32 key;
  std::copy(bytes->begin(), bytes->end(), key.bytes.begin());
  OPENSSL_cleanse(bytes->data(), bytes->size());
  OPENSSL_cleanse(lower.data(), lower.size());
  OPENSSL_cleanse(values.data(), values.size());
  OPENSSL_cleanse(check.data(), check.size());
  return key;
}

}  // namespace KVO_Core::age
