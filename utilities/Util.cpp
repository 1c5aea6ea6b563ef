#include "utilities/Util.h"

#include <ctime>
#include <cwctype>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "utilities/FileTime.h"

namespace Utilities::util {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool is_scalar_value(std::int64_t c) {
  return c >= 0 && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool is_trim_char(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

template <typename Char>
std::basic_string<Char> trimmed_view(std::basic_string_view<Char> text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_trim_char(static_cast<wchar_t>(text[begin]))) ++begin;
  while (end > begin && is_trim_char(static_cast<wchar_t>(text[end - 1]))) --end;
  return std::basic_string<Char>(text.substr(begin, end - begin));
}

template <typename Char>
std::basic_string<Char> joined_parts(std::vector<std::basic_string<Char>> const& parts,
                                     std::basic_string_view<Char> separator) {
  std::basic_string<Char> out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += separator;
    out += parts[i];
  }
  return out;
}

}  // namespace

std::string wstring_to_string(std::wstring const& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    auto value = static_cast<std::int64_t>(c);
    append_utf8(out, is_scalar_value(value) ? static_cast<char32_t>(value) : REPLACEMENT);
  }
  return out;
}

bool valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto const c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80           ? 1
                         : (c >> 5) == 0x6  ? 2
                         : (c >> 4) == 0xE  ? 3
                         : (c >> 3) == 0x1E ? 4
                                            : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t code = length == 1 ? c : c & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      auto const next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode would not come back as these bytes.
    if ((length == 2 && code < 0x80) || (length == 3 && code < 0x800) ||
        (length == 4 && code < 0x10000) || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
      return false;
    i += length;
  }
  return true;
}

std::wstring string_to_wstring(std::string const& text) {
  std::wstring out;
  out.reserve(text.size());
  std::size_t i = 0;
  std::size_t const n = text.size();
  while (i < n) {
    auto const lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out += static_cast<wchar_t>(lead);
      ++i;
      continue;
    }
    std::size_t length;
    char32_t value;
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
      value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      value = lead & 0x07;
    } else {
      out += static_cast<wchar_t>(REPLACEMENT);
      ++i;
      continue;
    }
    if (n - i < length) {
      out += static_cast<wchar_t>(REPLACEMENT);
      ++i;
      continue;
    }
    bool complete = true;
    for (std::size_t k = 1; k < length; ++k) {
      auto const next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        complete = false;
        break;
      }
      value = (value << 6) | (next & 0x3F);
    }
    if (!complete) {
      out += static_cast<wchar_t>(REPLACEMENT);
      ++i;
      continue;
    }
    static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    bool const valid = value >= smallest[length] && is_scalar_value(value);
    out += static_cast<wchar_t>(valid ? value : REPLACEMENT);
    i += length;
  }
  return out;
}

std::uint16_t to_uint16_t(std::wstring const& text) {
  int const value = std::stoi(text, nullptr, 10);
  if (value < 0 || value > 65535)
    throw std::out_of_range("value outside 0..65535: " + wstring_to_string(text));
  return static_cast<std::uint16_t>(value);
}

std::wstring to_string(bool value) { return value ? L"true" : L"false"; }

std::wstring to_string(unsigned short value) { return std::to_wstring(value); }

std::wstring to_string(int value) { return std::to_wstring(value); }

std::string to_string(std::filesystem::file_time_type const& time) {
  std::time_t const seconds = file_time::to_time_t(time);
  std::tm broken{};
  if (!gmtime_r(&seconds, &broken)) return std::to_string(seconds);
  std::ostringstream out;
  // Day and month names must stay English whatever locale the process runs under.
  out.imbue(std::locale::classic());
  out << std::put_time(&broken, "%A, %d %B %Y %H:%M");
  return out.str();
}

std::string trimmed(std::string_view text) { return trimmed_view(text); }

std::wstring trimmed(std::wstring_view text) { return trimmed_view(text); }

std::string lowercase(std::string text) {
  // tolower under a Latin-1 locale would rewrite bytes of UTF-8 sequences.
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::wstring lowercase(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
  return text;
}

std::vector<std::string> split(std::string const& text, char separator) {
  std::vector<std::string> pieces;
  std::istringstream in(text);
  std::string piece;
  while (std::getline(in, piece, separator))
    if (!piece.empty()) pieces.push_back(piece);
  return pieces;
}

std::string joined(std::vector<std::string> const& parts, std::string_view separator) {
  return joined_parts(parts, separator);
}

std::wstring joined(std::vector<std::wstring> const& parts, std::wstring_view separator) {
  return joined_parts(parts, separator);
}

std::string unquoted(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
    return std::string(text.substr(1, text.size() - 2));
  return std::string(text);
}

std::wstring with_trailing_char(std::wstring const& text, wchar_t c) {
  if (!text.empty() && text.back() == c) return text;
  return text + c;
}

std::string without_trailing_chars(std::string text, char c) {
  while (!text.empty() && text.back() == c) text.pop_back();
  return text;
}

}  // namespace Utilities::util
