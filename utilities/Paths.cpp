#include "utilities/Paths.h"

#include "utilities/Util.h"

namespace Utilities {

std::filesystem::path to_path(std::wstring const& text) {
  return std::filesystem::path(util::wstring_to_string(text));
}

std::wstring from_path(std::filesystem::path const& path) {
  return util::string_to_wstring(path.native());
}

}  // namespace Utilities
