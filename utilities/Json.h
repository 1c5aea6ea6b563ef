// Writes a wide property tree as indented JSON (four blanks per level): every leaf a string,
// a node whose children all have empty keys an array, every other node an object with its
// members in tree order (repeated keys kept). Non-ASCII text and '/' are written as they are.
#pragma once

#include <string>

#include <boost/property_tree/ptree.hpp>

namespace Utilities::json {

// The JSON text of `tree`, ending in a line feed. Throws std::invalid_argument
// "ptree contains data that cannot be represented in JSON format", before writing anything,
// when the root or any node with children carries data.
std::wstring to_text(boost::property_tree::wptree const& tree);

// Writes a document member by member as UTF-8, giving the bytes of to_text for the tree with
// the same members (wide characters that are no Unicode scalar value as U+FFFD, as
// util::wstring_to_string encodes them), so that a large document never has to be
// held as one tree. A member's node writer must be closed before its parent's next member.
class NodeWriter {
 public:
  // The document's root object, appended to `out`, which must outlive the writer.
  explicit NodeWriter(std::string& out);

  // Appends the member `key` holding `value`. Throws std::invalid_argument as to_text does,
  // with nothing appended.
  void add(std::wstring const& key, boost::property_tree::wptree const& value);
  // Starts the member `key` whose node gets its members through the returned writer; their keys
  // are left out when `array` (to_text's choice when all of them are empty).
  NodeWriter add_node(std::wstring const& key, bool array);
  // Ends the node. A member's node without members is written as "", as to_text writes an empty
  // node; the document ends with its closing brace and a line feed.
  void close();

 private:
  NodeWriter(std::string& out, int depth, bool array);
  void start_member(std::wstring const& key);

  std::string& out_;
  int depth_;
  bool array_;
  std::size_t count_ = 0;
};

}  // namespace Utilities::json
