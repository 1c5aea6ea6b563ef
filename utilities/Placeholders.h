// Filling %1..%9 of a translated text, one pass from left to right; arguments go in literally.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

namespace Utilities::translation {

// "%" and a digit 1..9 not beyond the number of arguments is replaced; any other "%" stays.
template <typename Char>
std::basic_string<Char> substituted(std::basic_string<Char> const& text,
                                    std::initializer_list<std::basic_string<Char>> args) {
  std::basic_string<Char> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    Char c = text[i];
    if (c == Char('%') && i + 1 < text.size()) {
      Char d = text[i + 1];
      if (d >= Char('1') && d <= Char('9') && std::size_t(d - Char('0')) <= args.size()) {
        out += args.begin()[d - Char('1')];
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

}  // namespace Utilities::translation
