// Reading single values of a configuration section (a wide property tree whose values are all
// texts). Keys are looked up as plain names, never as dotted paths.
#pragma once

#include <boost/property_tree/ptree.hpp>
#include <optional>
#include <string>

namespace KVO_Core::section_values {

// The text of `key`, none when the key is missing. A value that is an object or a list with
// members throws std::runtime_error: it is no text, and reading it as "" would lose it silently.
std::optional<std::wstring> text(boost::property_tree::wptree const& section,
                                 std::wstring const& key);

// The text of `key`; a missing key throws std::runtime_error naming it.
std::wstring required_text(boost::property_tree::wptree const& section, std::wstring const& key);

// The text of `key`, or `fallback` when it is missing.
std::wstring text_or(boost::property_tree::wptree const& section, std::wstring const& key,
                     std::wstring const& fallback);

// True only for the exact text "true".
bool is_true(std::wstring const& value);

// Utilities::util::to_uint16_t of the text, with any failure rethrown as std::runtime_error
// naming the key ("<key>: <reason>").
std::uint16_t to_uint16(std::wstring const& value, std::wstring const& key);

// The C library's unsigned conversion of the text (a leading minus wraps), kept modulo 2^32 as
// the file has always been read; a text that is no number throws std::runtime_error naming the key.
std::uint32_t to_uint32_modulo(std::wstring const& value, std::wstring const& key);

// Appends key = value as a new member at the end of `section`, keeping repeated keys.
void append(boost::property_tree::wptree& section, std::wstring const& key,
            std::wstring const& value);

}  // namespace KVO_Core::section_values
