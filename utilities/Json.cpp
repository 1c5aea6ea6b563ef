#include "utilities/Json.h"

#include <stdexcept>

#include "utilities/Util.h"

namespace Utilities::json {

namespace {

using Tree = boost::property_tree::wptree;

bool representable(Tree const& node, bool is_root) {
  if (!node.data().empty() && (is_root || !node.empty())) return false;
  for (auto const& child : node)
    if (!representable(child.second, false)) return false;
  return true;
}

void check_representable(Tree const& node, bool is_root) {
  if (!representable(node, is_root))
    throw std::invalid_argument("ptree contains data that cannot be represented in JSON format");
}

// Text goes out as it is (wide) or as UTF-8 the way wstring_to_string encodes it.
void put(std::wstring& out, wchar_t c) { out += c; }
void put(std::string& out, wchar_t c) {
  if (c >= 0 && c < 0x80) {
    out += static_cast<char>(c);
  } else {
    out += util::wstring_to_string(std::wstring(1, c));
  }
}

template <typename Out>
void put(Out& out, char const* ascii) {
  out.append(ascii, ascii + std::char_traits<char>::length(ascii));
}

template <typename Out>
void indent(Out& out, int depth) {
  out.append(static_cast<std::size_t>(depth) * 4, typename Out::value_type(' '));
}

// Printable ASCII but the quote and the backslash: written as it is, in runs.
bool plain(wchar_t c) { return c >= 0x20 && c < 0x80 && c != L'"' && c != L'\\'; }

void put_plain(std::wstring& out, wchar_t const* first, wchar_t const* last) {
  out.append(first, last);
}
void put_plain(std::string& out, wchar_t const* first, wchar_t const* last) {
  std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(last - first));
  for (; first != last; ++first) out[at++] = static_cast<char>(*first);
}

template <typename Out>
void put_quoted(Out& out, std::wstring const& text) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  put(out, L'"');
  wchar_t const* const end = text.data() + text.size();
  for (wchar_t const* at = text.data(); at != end; ++at) {
    wchar_t const* run = at;
    while (at != end && plain(*at)) ++at;
    put_plain(out, run, at);
    if (at == end) break;
    wchar_t const c = *at;
    switch (c) {
      case L'\b':
        put(out, "\\b");
        break;
      case L'\t':
        put(out, "\\t");
        break;
      case L'\n':
        put(out, "\\n");
        break;
      case L'\f':
        put(out, "\\f");
        break;
      case L'\r':
        put(out, "\\r");
        break;
      case L'"':
        put(out, "\\\"");
        break;
      case L'\\':
        put(out, "\\\\");
        break;
      default:
        if (c >= 0 && c < 32) {
          put(out, "\\u00");
          put(out, static_cast<wchar_t>(DIGITS[c >> 4]));
          put(out, static_cast<wchar_t>(DIGITS[c & 0x0F]));
        } else {
          put(out, c);
        }
    }
  }
  put(out, L'"');
}

bool all_keys_empty(Tree const& node) {
  for (auto const& child : node)
    if (!child.first.empty()) return false;
  return true;
}

template <typename Out>
void write(Out& out, Tree const& node, int depth) {
  if (depth > 0 && node.empty()) {
    put_quoted(out, node.data());
    return;
  }
  bool const array = depth > 0 && all_keys_empty(node);
  put(out, array ? "[\n" : "{\n");
  std::size_t remaining = node.size();
  for (auto const& [key, child] : node) {
    indent(out, depth + 1);
    if (!array) {
      put_quoted(out, key);
      put(out, ": ");
    }
    write(out, child, depth + 1);
    put(out, --remaining > 0 ? ",\n" : "\n");
  }
  indent(out, depth);
  put(out, array ? "]" : "}");
}

}  // namespace

std::wstring to_text(Tree const& tree) {
  check_representable(tree, true);
  std::wstring out;
  write(out, tree, 0);
  out += L'\n';
  return out;
}

NodeWriter::NodeWriter(std::string& out) : NodeWriter(out, 0, false) {}

NodeWriter::NodeWriter(std::string& out, int depth, bool array)
    : out_(out), depth_(depth), array_(array) {}

void NodeWriter::start_member(std::wstring const& key) {
  if (count_++ == 0) {
    put(out_, array_ ? "[\n" : "{\n");
  } else {
    put(out_, ",\n");
  }
  indent(out_, depth_ + 1);
  if (!array_) {
    put_quoted(out_, key);
    put(out_, ": ");
  }
}

void NodeWriter::add(std::wstring const& key, Tree const& value) {
  check_representable(value, false);
  start_member(key);
  write(out_, value, depth_ + 1);
}

NodeWriter NodeWriter::add_node(std::wstring const& key, bool array) {
  start_member(key);
  return NodeWriter(out_, depth_ + 1, array);
}

void NodeWriter::close() {
  if (count_ == 0) {
    put(out_, depth_ > 0 ? "\"\"" : "{\n}\n");
    return;
  }
  put(out_, "\n");
  indent(out_, depth_);
  put(out_, array_ ? "]" : "}");
  if (depth_ == 0) put(out_, "\n");
}

}  // namespace Utilities::json
