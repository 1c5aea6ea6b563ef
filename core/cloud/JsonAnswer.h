// Reading the JSON answers of the web stores: bounded before parsing, keys looked up whole.
#pragma once

#include <cstdint>
#include <string>

#include <boost/property_tree/ptree.hpp>

namespace KVO_Core::json_answer {

// The tree of `answer`. Throws http::Error 37 "<store> answer is not JSON: " and the reason for
// text that is not one JSON value or nests deeper than the parsers allow.
boost::property_tree::wptree parsed(std::string const& answer, std::string const& store);
// The UTF-8 text at `key_path`, whose levels are separated by "|" so keys holding "." (such as
// "@odata.nextLink" or ".tag") are read whole; "" when absent.
std::string value_of(boost::property_tree::wptree const& tree, std::string const& key_path);
// The unsigned decimal at `key_path`; 0 when absent or not such a number.
std::uint64_t unsigned_of(boost::property_tree::wptree const& tree, std::string const& key_path);
// The node at `key_path` ("|"-separated) exists, whatever its value.
bool has(boost::property_tree::wptree const& tree, std::string const& key_path);

}  // namespace KVO_Core::json_answer
