// Text helpers shared by every subsystem: wide <-> UTF-8 conversion, configuration number and
// truth texts, trimming, case, lists and the glob matcher of item wildcards and exclusions.
// Every function is pure and reentrant.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace Utilities {

namespace util {

// UTF-8 of `text`; a character that is no Unicode scalar value (surrogate, above U+10FFFF,
// negative) becomes U+FFFD. Never fails; a non-empty input never gives an empty output.
std::string wstring_to_string(std::wstring const& text);
// Decodes UTF-8; every malformed piece becomes one U+FFFD (a bad continuation byte is read again
// as the start of the next piece; overlong, surrogate and too-large sequences are consumed whole).
std::wstring string_to_wstring(std::string const& text);
// Whether the bytes are well-formed UTF-8 (no overlong form, surrogate or value beyond Unicode),
// that is, whether they come back unchanged through string_to_wstring.
bool valid_utf8(std::string_view text);

// Decimal text as parsed by std::stoi (leading white space, sign, trailing rubbish ignored).
// Throws std::invalid_argument without digits, std::out_of_range on int overflow, and
// std::out_of_range "value outside 0..65535: <text>" for any other value outside 0..65535.
std::uint16_t to_uint16_t(std::wstring const& text);

// "true" or "false".
std::wstring to_string(bool value);
// Decimal text.
std::wstring to_string(unsigned short value);
std::wstring to_string(int value);
// The time in whole seconds, in UTC, as "%A, %d %B %Y %H:%M" with English names.
std::string to_string(std::filesystem::file_time_type const& time);

// Without leading and trailing blanks, tabs, CR and LF; empty when nothing else is there.
std::string trimmed(std::string_view text);
std::wstring trimmed(std::wstring_view text);

// ASCII capitals made small; every other byte (UTF-8 included) stays as it is.
std::string lowercase(std::string text);
// Every character lowered with towlower under the process's current locale.
std::wstring lowercase(std::wstring text);

// The non-empty pieces between separators, in order.
std::vector<std::string> split(std::string const& text, char separator);
// The elements with `separator` between neighbours; empty for an empty vector.
std::string joined(std::vector<std::string> const& parts, std::string_view separator);
std::wstring joined(std::vector<std::wstring> const& parts, std::wstring_view separator);

// Without the enclosing double quotes when the text has at least two characters and both ends
// are '"'; otherwise unchanged.
std::string unquoted(std::string_view text);
// `text` with `c` appended unless it already ends in `c`.
std::wstring with_trailing_char(std::wstring const& text, wchar_t c);
// `text` without every trailing `c`.
std::string without_trailing_chars(std::string text, char c);

// True when the whole `name` matches `pattern`: '*' any run of characters, '?' exactly one, both
// never matching LF, CR, U+2028 or U+2029; every other character stands for itself;
// case-sensitive. Time is bounded by name length times pattern length.
bool wildmatch(std::wstring const& name, std::wstring const& pattern);

}  // namespace util
}  // namespace Utilities
