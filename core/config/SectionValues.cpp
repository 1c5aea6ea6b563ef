#include "core/config/SectionValues.h"

#include <stdexcept>

#include "utilities/Util.h"

namespace KVO_Core::section_values {
namespace {

std::string utf8(std::wstring const& text) { return Utilities::util::wstring_to_string(text); }

}  // namespace

std::optional<std::wstring> text(boost::property_tree::wptree const& section,
                                 std::wstring const& key) {
  auto found = section.find(key);
  if (found == section.not_found()) return std::nullopt;
  if (!found->second.empty()) throw std::runtime_error("\"" + utf8(key) + "\" is not a text");
  return found->second.data();
}

std::wstring required_text(boost::property_tree::wptree const& section, std::wstring const& key) {
  auto value = text(section, key);
  if (!value) throw std::runtime_error("missing key \"" + utf8(key) + "\"");
  return *value;
}

std::wstring text_or(boost::property_tree::wptree const& section, std::wstring const& key,
                     std::wstring const& fallback) {
  auto value = text(section, key);
  return value ? *value : fallback;
}

bool is_true(std::wstring const& value) { return value == L"true"; }

std::uint16_t to_uint16(std::wstring const& value, std::wstring const& key) {
  try {
    return Utilities::util::to_uint16_t(value);
  } catch (std::out_of_range const&) {
    // Also for values beyond int, where the library's own text says nothing useful.
    throw std::runtime_error("\"" + utf8(key) + "\": value outside 0..65535: " + utf8(value));
  } catch (std::invalid_argument const&) {
    throw std::runtime_error("\"" + utf8(key) + "\": not a number: " + utf8(value));
  }
}

std::uint32_t to_uint32_modulo(std::wstring const& value, std::wstring const& key) {
  try {
    return static_cast<std::uint32_t>(std::stoull(value));
  } catch (std::exception const&) {
    throw std::runtime_error("\"" + utf8(key) + "\": not a number: " + utf8(value));
  }
}

void append(boost::property_tree::wptree& section, std::wstring const& key,
            std::wstring const& value) {
  section.push_back({key, boost::property_tree::wptree(value)});
}

}  // namespace KVO_Core::section_values
