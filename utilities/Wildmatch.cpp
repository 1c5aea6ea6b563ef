#include <algorithm>
#include <vector>

#include "utilities/Util.h"

namespace Utilities::util {

namespace {

bool is_line_terminator(wchar_t c) {
  return c == L'\n' || c == L'\r' || c == 0x2028 || c == 0x2029;
}

// Marks the positions reachable from the marked ones without reading a character: a '*' may
// match nothing.
void close_over_stars(std::wstring const& pattern, std::vector<char>& states) {
  for (std::size_t i = 0; i < pattern.size(); ++i)
    if (states[i] && pattern[i] == L'*') states[i + 1] = 1;
}

}  // namespace

// A set-of-positions walk over the pattern instead of backtracking, so a hostile pattern such as
// "*a*a*a*a*b" costs at most name length times pattern length steps.
bool wildmatch(std::wstring const& name, std::wstring const& pattern) {
  std::size_t const m = pattern.size();
  std::vector<char> current(m + 1, 0);
  std::vector<char> next(m + 1, 0);
  current[0] = 1;
  close_over_stars(pattern, current);
  for (wchar_t c : name) {
    std::fill(next.begin(), next.end(), 0);
    bool any = false;
    bool const terminator = is_line_terminator(c);
    for (std::size_t i = 0; i < m; ++i) {
      if (!current[i]) continue;
      wchar_t const p = pattern[i];
      std::size_t target;
      if (p == L'*' && !terminator)
        target = i;
      else if ((p == L'?' && !terminator) || (p != L'*' && p != L'?' && p == c))
        target = i + 1;
      else
        continue;
      next[target] = 1;
      any = true;
    }
    if (!any) return false;
    close_over_stars(pattern, next);
    current.swap(next);
  }
  return current[m] != 0;
}

}  // namespace Utilities::util
