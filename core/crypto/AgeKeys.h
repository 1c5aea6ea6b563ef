// The text forms of X25519 keys: identities ("AGE-SECRET-KEY-1...") and recipients ("age1...").
// The public operations are declared in Age.h; these are the decoders they share with the format.
#pragma once

#include <optional>
#include <string_view>

#include "core/crypto/AgeCrypto.h"

namespace KVO_Core::age {

inline constexpr std::string_view IDENTITY_HRP = "age-secret-key-";
inline constexpr std::string_view RECIPIENT_HRP = "age";

// The private key of an identity text (upper or lower case); none when it does not decode.
std::optional<Key32> identity_key(std::string_view text);
// The public key of a recipient text; none when it does not decode.
std::optional<Bytes32> recipient_key(std::string_view text);

}  // namespace KVO_Core::age
