#include "core/config/JsonRead.h"

#include <algorithm>

#include <boost/property_tree/json_parser/error.hpp>

#include "utilities/Util.h"

namespace KVO_Core::json_read {
namespace {

using Tree = boost::property_tree::wptree;

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_surrogate_high(unsigned c) { return (c & 0xfc00) == 0xd800; }
bool is_surrogate_low(unsigned c) { return (c & 0xfc00) == 0xdc00; }

// Appends the bytes decoded as string_to_wstring decodes them. A run never ends inside a valid
// sequence (runs end at ASCII bytes), so decoding runs one by one equals decoding the whole text.
void append_decoded(std::wstring& out, char const* first, char const* last) {
  if (std::all_of(first, last, [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    out.append(first, last);
  } else {
    out += Utilities::util::string_to_wstring(std::string(first, last));
  }
}

// A recursive-descent parser with Boost's grammar, checks and messages. `node` and `out`
// arguments may be null: the text is then only checked.
class Parser {
 public:
  explicit Parser(std::string_view text)
      : start_(text.data()), cur_(text.data()), end_(text.data() + text.size()) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") cur_ += 3;
  }

  void value(Tree* node) {
    skip_ws();
    if (have('{')) {
      members_of(
          true, [&](std::wstring&& key) { value(child(node, std::move(key))); }, node != nullptr);
    } else if (have('[')) {
      members_of(false, [&](std::wstring&&) { value(child(node, std::wstring())); });
    } else if (have('"')) {
      string(node ? &node->data() : nullptr);
    } else if (!literal(node) && !number(node)) {
      fail("expected value");
    }
  }

  // After the opening '{' (object) or '['; calls on_member(key) with the cursor before each
  // member's value, which on_member must consume.
  template <typename OnMember>
  void members_of(bool object, OnMember on_member, bool keys_wanted = true) {
    char const close = object ? '}' : ']';
    skip_ws();
    if (have(close)) return;
    do {
      std::wstring key;
      if (object) {
        skip_ws();
        if (!have('"')) fail("expected key string");
        string(keys_wanted ? &key : nullptr);
        skip_ws();
        if (!have(':')) fail("expected ':'");
      }
      on_member(std::move(key));
      skip_ws();
    } while (have(','));
    if (!have(close)) fail(object ? "expected '}' or ','" : "expected ']' or ','");
  }

  void finish() {
    skip_ws();
    if (cur_ != end_) fail("garbage after data");
  }

  void skip_ws() {
    while (cur_ != end_ && is_ws(*cur_)) ++cur_;
  }
  bool have(char c) {
    if (cur_ == end_ || *cur_ != c) return false;
    ++cur_;
    return true;
  }
  char const* cursor() const { return cur_; }

 private:
  static Tree* child(Tree* node, std::wstring&& key) {
    if (!node) return nullptr;
    return &node->push_back(Tree::value_type(std::move(key), Tree()))->second;
  }

  [[noreturn]] void fail(char const* what) const {
    auto const line = 1 + std::count(start_, cur_, '\n');
    throw boost::property_tree::json_parser::json_parser_error(what, "",
                                                               static_cast<unsigned long>(line));
  }

  void expect(char c, char const* what) {
    if (!have(c)) fail(what);
  }

  // After the opening quote.
  void string(std::wstring* out) {
    for (;;) {
      if (cur_ == end_) fail("unterminated string");
      char const c = *cur_;
      if (c == '"') {
        ++cur_;
        return;
      }
      if (c == '\\') {
        ++cur_;
        escape(out);
        continue;
      }
      if (is_control(c)) fail("invalid code sequence");
      char const* run = cur_;
      while (cur_ != end_ && *cur_ != '"' && *cur_ != '\\' && !is_control(*cur_)) ++cur_;
      if (out) append_decoded(*out, run, cur_);
    }
  }

  void escape(std::wstring* out) {
    static constexpr std::string_view NAMES = "\"\\/bfnrt";
    static constexpr std::string_view CODES = "\"\\/\b\f\n\r\t";
    unsigned code = 0;
    if (std::size_t const at = cur_ == end_ ? NAMES.npos : NAMES.find(*cur_); at != NAMES.npos) {
      ++cur_;
      code = static_cast<unsigned char>(CODES[at]);
    } else if (have('u')) {
      code = code_point();
    } else {
      fail("invalid escape sequence");
    }
    if (out) *out += static_cast<wchar_t>(code);
  }

  unsigned hex_quad() {
    unsigned code = 0;
    for (int i = 0; i < 4; ++i) {
      int const digit = cur_ == end_ ? -1 : hex_value(*cur_);
      if (digit < 0) fail("invalid escape sequence");
      code = code * 16 + static_cast<unsigned>(digit);
      ++cur_;
    }
    return code;
  }

  unsigned code_point() {
    unsigned code = hex_quad();
    if (is_surrogate_low(code)) fail("invalid codepoint, stray low surrogate");
    if (is_surrogate_high(code)) {
      expect('\\', "invalid codepoint, stray high surrogate");
      expect('u', "expected codepoint reference after high surrogate");
      unsigned const low = hex_quad();
      if (!is_surrogate_low(low)) fail("expected low surrogate after high surrogate");
      code = 0x010000 + (((code & 0x3ff) << 10) | (low & 0x3ff));
    }
    return code;
  }

  bool literal(Tree* node) {
    for (char const* word : {"true", "false", "null"}) {
      if (cur_ == end_ || *cur_ != word[0]) continue;
      ++cur_;
      for (char const* rest = word + 1; *rest; ++rest) {
        if (!have(*rest))
          fail(word[0] == 'n'   ? "expected 'null'"
               : word[0] == 't' ? "expected 'true'"
                                : "expected 'false'");
      }
      if (node) node->data() = std::wstring(word, word + std::char_traits<char>::length(word));
      return true;
    }
    return false;
  }

  void digits() {
    while (cur_ != end_ && is_digit(*cur_)) ++cur_;
  }

  bool number(Tree* node) {
    char const* first = cur_;
    bool const minus = have('-');
    if (!have('0')) {
      if (cur_ == end_ || *cur_ < '1' || *cur_ > '9') {
        if (minus) fail("expected digits after -");
        return false;
      }
      digits();
    }
    if (have('.')) {
      if (cur_ == end_ || !is_digit(*cur_)) fail("need at least one digit after '.'");
      digits();
    }
    if (have('e') || have('E')) {
      if (!have('+')) have('-');
      if (cur_ == end_ || !is_digit(*cur_)) fail("need at least one digit in exponent");
      digits();
    }
    if (node) node->data().assign(first, cur_);
    return true;
  }

  char const* start_;
  char const* cur_;
  char const* end_;
};

}  // namespace

Tree parse(std::string_view text) {
  Tree tree;
  Parser parser(text);
  parser.value(&tree);
  parser.finish();
  return tree;
}

std::vector<Member> members(std::string_view text) {
  std::vector<Member> result;
  Parser parser(text);
  parser.skip_ws();
  bool const object = parser.have('{');
  if (object || parser.have('[')) {
    parser.members_of(object, [&](std::wstring&& key) {
      parser.skip_ws();
      char const* first = parser.cursor();
      parser.value(nullptr);
      result.push_back({std::move(key), std::string_view(first, parser.cursor() - first)});
    });
  } else {
    parser.value(nullptr);
  }
  parser.finish();
  return result;
}

}  // namespace KVO_Core::json_read
