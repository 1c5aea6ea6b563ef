// Byte <-> text codecs: Base64 (standard, unpadded, URL-safe), lower-case hex and
// percent-encoding. Pure functions; none throws for bad input.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Utilities {

namespace base64 {

// Standard alphabet, padded with '=' to a multiple of four characters; both overloads agree.
std::string encoded(std::span<std::uint8_t const> bytes);
std::string encoded(std::string_view bytes);
// Standard alphabet without the trailing '='.
std::string encoded_unpadded(std::span<std::uint8_t const> bytes);
// URL-safe alphabet ('-' and '_') without padding.
std::string url_encoded(std::span<std::uint8_t const> bytes);
// The bytes of padded standard Base64. Empty for a refused text: a length that is no multiple of
// four, three or more trailing '=', or any character outside the alphabet (blanks and line
// breaks included). Callers tell an empty input from a refusal by the length they expect.
std::vector<std::uint8_t> decoded(std::string_view text);

}  // namespace base64

namespace hex {

// Two lower-case hex digits per byte, high nibble first.
std::string encoded(std::span<std::uint8_t const> bytes);
std::string encoded(std::string_view bytes);

}  // namespace hex

namespace percent {

// Every byte outside A-Z a-z 0-9 - . _ ~ as '%' and two upper-case hex digits ('/' included).
std::string encoded(std::string_view text);
// Every '%' followed by two hex digits (either case) as its byte; every other '%' copied as it
// is; '+' stays '+'. Never refuses; the result may hold any byte, NUL included.
std::string decoded(std::string_view text);

}  // namespace percent

}  // namespace Utilities
