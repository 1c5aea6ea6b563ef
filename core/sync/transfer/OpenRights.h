// The process-wide set of local destinations whose permission bits could not be set to their
// source's; the per-file decision tries again while a path is in it.
#pragma once

#include <string>

#include "utilities/FailureReasons.h"

namespace KVO_Core {

class OpenRights {
 public:
  // Whether the path is in the set. Each call takes the set's mutex for this one lookup.
  static bool open(std::wstring const& path);
  static void insert(std::wstring const& path);
  static void erase(std::wstring const& path);
};

// The text of permission bits that failed to be set: file_attributes_not_settable's text, ": ",
// path and, in parentheses, the reason's text.
std::wstring attribute_message(std::wstring const& path,
                               Utilities::FilesystemUtil::FileInfoResult reason);

}  // namespace KVO_Core
