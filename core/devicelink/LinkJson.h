// The device link's JSON replies, written by hand: one object per line, keys in a fixed order,
// no blanks between tokens.
#pragma once

#include <string>
#include <vector>

namespace KVO_Core::link_json {

// The text as a JSON string: tab, line feed and carriage return as \t \n \r, '"' and '\' escaped,
// other bytes below 32 as \u00XX; every other byte unchanged.
std::string string(std::string const& utf8);
// {"type":"error","reason":R} and "\n".
std::string error_line(std::string const& reason);

}  // namespace KVO_Core::link_json
