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

}  // namespace Utilities::json
