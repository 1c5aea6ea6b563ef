// The header of an age v1 file: the version line, X25519 stanzas and the MAC line. The reader
// is bounded: it never reads more than 65,535 header characters, line feeds included.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/crypto/AgeCrypto.h"

namespace KVO_Core::age {

inline constexpr std::string_view VERSION_LINE = "age-encryption.org/v1\n";
inline constexpr std::size_t HEADER_LIMIT = 65535;

struct Header {
  std::string text;  // what the MAC covers: version line through "---"
  std::string mac;   // Base64 text after "--- "; empty when the line lacks the blank
  std::vector<std::pair<std::string, std::string>> stanzas;  // X25519: argument, body line
};

// Reads the header character by character up to and including the MAC line. None when the
// first line is not the version line, the header exceeds HEADER_LIMIT characters, or the input
// ends or fails first (the caller tells the two apart by the stream's bad state).
std::optional<Header> read_header(std::istream& in);

// The header text for one X25519 stanza (share, wrapped file key), ending in "---".
std::string header_text(Bytes32 const& share, std::string_view wrapped_key);
// The MAC line that follows header_text: " ", the MAC's unpadded Base64 and a line feed.
std::string mac_line(Bytes32 const& mac);

// Unpadded standard Base64.
std::string base64_unpadded(std::string_view bytes);
// The 32 bytes of a canonical 43-character unpadded Base64 text; none for anything else.
std::optional<Bytes32> base64_bytes(std::string_view text);

}  // namespace KVO_Core::age
