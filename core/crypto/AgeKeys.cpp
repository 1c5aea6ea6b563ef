#include "core/crypto/AgeKeys.h"

#include "core/crypto/Age.h"
#include "core/crypto/Bech32.h"

namespace KVO_Core::age {

std::optional<Key32> identity_key(std::string_view text) { return bech32_key(text, IDENTITY_HRP); }

std::optional<Bytes32> recipient_key(std::string_view text) {
  auto key = bech32_key(text, RECIPIENT_HRP);
  if (!key) return std::nullopt;
  return key->bytes;
}

std::optional<std::string> generate_identity() {
  Key32 secret;
  if (!random_bytes(secret.bytes.data(), secret.bytes.size())) return std::nullopt;
  std::string text = bech32(IDENTITY_HRP, secret.bytes);
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

std::optional<std::string> recipient_of(std::string const& identity) {
  auto secret = identity_key(identity);
  if (!secret) return std::nullopt;
  auto pub = x25519_public(*secret);
  if (!pub) return std::nullopt;
  return bech32(RECIPIENT_HRP, *pub);
}

bool valid_recipient(std::string const& text) { return recipient_key(text).has_value(); }

}  // namespace KVO_Core::age
