// Bech32 (BIP 173, checksum constant 1) text forms of 32-byte keys, without the 90-character
// limit of BIP 173.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/crypto/AgeCrypto.h"

namespace KVO_Core::age {

// hrp (lower case), "1", 52 data and 6 checksum characters, all in lower case.
std::string bech32(std::string_view hrp, Bytes32 const& key);

// The 32 bytes of a text in all lower or all upper case whose part before "1" is hrp; none for
// mixed case, a foreign character, a bad checksum, non-zero padding bits or another length.
std::optional<Key32> bech32_key(std::string_view text, std::string_view hrp);

}  // namespace KVO_Core::age
