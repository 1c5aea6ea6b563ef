#include "core/config/VolumeName.h"

#include <filesystem>
#include <stdexcept>

#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

using Utilities::LogLevel;

bool volume_form(std::wstring const& path) {
  auto open = path.find(L'(');
  auto colon = path.find(L':');
  return open != std::wstring::npos && colon != std::wstring::npos && open < colon;
}

// Position of the ")" that closes the first "(", or npos.
std::wstring::size_type closing_of(std::wstring const& path) {
  auto open = path.find(L'(');
  if (open == std::wstring::npos) return std::wstring::npos;
  return path.find(L')', open + 1);
}

}  // namespace

bool path_contains_volume_name(std::wstring const& path) {
  bool result = volume_form(path);
  Utilities::log_at(LogLevel::Debug, "path_contains_volume_name " +
                                         Utilities::util::wstring_to_string(path) + ": " +
                                         (result ? "true" : "false"));
  return result;
}

std::wstring volume_name(std::wstring const& path) {
  Utilities::log_at(LogLevel::Debug, "volume_name() " + Utilities::util::wstring_to_string(path));
  if (!volume_form(path)) return {};
  auto open = path.find(L'(');
  return open == 0 ? std::wstring{} : path.substr(0, open - 1);
}

std::wstring root_name(std::wstring const& path) {
  Utilities::log_at(LogLevel::Debug, "root_name: " + Utilities::util::wstring_to_string(path));
  if (volume_form(path)) {
    auto close = closing_of(path);
    if (close == std::wstring::npos) {
      throw std::runtime_error(Utilities::translation::translate_utf8("invalid_path") +
                               Utilities::util::wstring_to_string(path));
    }
    auto open = path.find(L'(');
    return path.substr(open + 1, close - open - 1);
  }
  std::wstring root = Utilities::from_path(Utilities::to_path(path).root_name());
  Utilities::log_at(LogLevel::Debug,
                    "root_name returns: " + Utilities::util::wstring_to_string(root));
  return root;
}

std::wstring without_volume_spec(std::wstring const& path) {
  Utilities::log_at(LogLevel::Debug,
                    "without_volume_spec: " + Utilities::util::wstring_to_string(path));
  if (!volume_form(path)) return path;
  auto close = closing_of(path);
  // Only a drive root ends in ":"; anything else in parentheses is part of a folder name.
  if (close == std::wstring::npos || path[close - 1] != L':') return path;
  auto open = path.find(L'(');
  return path.substr(open + 1, close - open - 1) + path.substr(close + 1);
}

}  // namespace KVO_Core
