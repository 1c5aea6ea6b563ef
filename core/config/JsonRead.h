// Reading JSON text (UTF-8 bytes) into wide property trees straight from the bytes. The trees
// and the error texts are those Boost's read_json gives for the same text decoded by
// Utilities::util::string_to_wstring (malformed bytes as U+FFFD, \u escapes and surrogate pairs
// as code points, a leading byte-order mark skipped, every value a text), without the decoded
// copies of the whole text and without the global locale.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <boost/property_tree/ptree.hpp>

namespace KVO_Core::json_read {

// A member of an object (or array, with an empty key) whose value is still JSON text.
struct Member {
  std::wstring key;
  std::string_view value;  // points into the text given to members()
};

// The tree of `text`, which must be one JSON value. Throws
// boost::property_tree::json_parser::json_parser_error ("<unspecified file>(<line>): <what>")
// otherwise. Recursive: check the nesting first (check_json_depth).
boost::property_tree::wptree parse(std::string_view text);

// Checks all of `text` as parse does (throwing the same errors), without building its tree, and
// returns the members of the object or array it holds in their order; none for a plain value.
// Each member's value can be given to parse.
std::vector<Member> members(std::string_view text);

}  // namespace KVO_Core::json_read
