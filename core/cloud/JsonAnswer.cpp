#include "core/cloud/JsonAnswer.h"

#include <charconv>
#include <exception>

#include "core/cloud/http/Request.h"
#include "core/config/JsonDepth.h"
#include "core/config/JsonRead.h"
#include "utilities/Util.h"

namespace KVO_Core::json_answer {

namespace {

boost::property_tree::wptree::path_type key(std::string const& key_path) {
  return {Utilities::util::string_to_wstring(key_path), L'|'};
}

}  // namespace

boost::property_tree::wptree parsed(std::string const& answer, std::string const& store) {
  try {
    check_json_depth(answer);
    return json_read::parse(answer);
  } catch (std::exception const& e) {
    throw http::Error(Utilities::FilesystemUtil::unknown_error,
                      store + " answer is not JSON: " + e.what());
  }
}

std::string value_of(boost::property_tree::wptree const& tree, std::string const& key_path) {
  auto const value = tree.get_optional<std::wstring>(key(key_path));
  return value ? Utilities::util::wstring_to_string(*value) : std::string();
}

std::uint64_t unsigned_of(boost::property_tree::wptree const& tree, std::string const& key_path) {
  std::string const text = value_of(tree, key_path);
  std::uint64_t value = 0;
  auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() ? value : 0;
}

bool has(boost::property_tree::wptree const& tree, std::string const& key_path) {
  return static_cast<bool>(tree.get_child_optional(key(key_path)));
}

}  // namespace KVO_Core::json_answer
