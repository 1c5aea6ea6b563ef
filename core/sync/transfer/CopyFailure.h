// Why the last copy of a file pair failed, the engine's exception for a backup generation that
// cannot be made, and the two ways a failed stream operation fills the record from errno.
#pragma once

#include <stdexcept>
#include <string>
#include <system_error>

#include "utilities/FailureReasons.h"

namespace KVO_Core {

struct CopyFailure {
  Utilities::FilesystemUtil::FileInfoResult reason = Utilities::FilesystemUtil::no_failure;
  std::wstring message;  // the failure text, as a rule followed by ": " and the path
};

// Thrown only when the old destination cannot become its backup generation; what() is UTF-8.
class SyncException : public std::runtime_error {
 public:
  explicit SyncException(std::wstring const& text);
  std::wstring text;
};

// record = {reason of the read failure, its text + ": " + path}.
void read_failed(std::wstring const& path, CopyFailure& record, std::error_code const& error);
// record = {reason of the write failure (9 becomes 10), its text + ": " + path}.
void write_failed(std::wstring const& path, CopyFailure& record, std::error_code const& error);

}  // namespace KVO_Core
