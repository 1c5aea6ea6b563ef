#include "utilities/Json.h"

#include <sstream>
#include <stdexcept>

namespace Utilities::json {

namespace {

using Tree = boost::property_tree::wptree;

bool representable(Tree const& node, bool is_root) {
  if (!node.data().empty() && (is_root || !node.empty())) return false;
  for (auto const& child : node)
    if (!representable(child.second, false)) return false;
  return true;
}

std::wstring escaped(std::wstring const& text) {
  static constexpr wchar_t DIGITS[] = L"0123456789ABCDEF";
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    switch (c) {
      case L'\b':
        out += L"\\b";
        break;
      case L'\t':
        out += L"\\t";
        break;
      case L'\n':
        out += L"\\n";
        break;
      case L'\f':
        out += L"\\f";
        break;
      case L'\r':
        out += L"\\r";
        break;
      case L'"':
        out += L"\\\"";
        break;
      case L'\\':
        out += L"\\\\";
        break;
      default:
        if (c >= 0 && c < 32) {
          out += L"\\u00";
          out += DIGITS[c >> 4];
          out += DIGITS[c & 0x0F];
        } else {
          out += c;
        }
    }
  }
  return out;
}

bool all_keys_empty(Tree const& node) {
  for (auto const& child : node)
    if (!child.first.empty()) return false;
  return true;
}

void write(std::wostringstream& out, Tree const& node, int depth) {
  if (depth > 0 && node.empty()) {
    out << L'"' << escaped(node.data()) << L'"';
    return;
  }
  bool const array = depth > 0 && all_keys_empty(node);
  out << (array ? L'[' : L'{') << L'\n';
  std::size_t remaining = node.size();
  for (auto const& [key, child] : node) {
    out << std::wstring(static_cast<std::size_t>(depth + 1) * 4, L' ');
    if (!array) out << L'"' << escaped(key) << L"\": ";
    write(out, child, depth + 1);
    out << (--remaining > 0 ? L",\n" : L"\n");
  }
  out << std::wstring(static_cast<std::size_t>(depth) * 4, L' ') << (array ? L']' : L'}');
}

}  // namespace

std::wstring to_text(Tree const& tree) {
  if (!representable(tree, true))
    throw std::invalid_argument("ptree contains data that cannot be represented in JSON format");
  std::wostringstream out;
  write(out, tree, 0);
  out << L'\n';
  return out.str();
}

}  // namespace Utilities::json
