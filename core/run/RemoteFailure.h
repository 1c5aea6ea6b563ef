// The exceptions of remote operations: a runtime error carrying a failure reason, and the one of
// a server that could not be reached at all.
#pragma once

#include <stdexcept>
#include <string>

#include "utilities/FailureReasons.h"

namespace KVO_Core {

class RemoteFailure : public std::runtime_error {
 public:
  RemoteFailure(Utilities::FilesystemUtil::FileInfoResult reason, std::string const& text)
      : std::runtime_error(text), reason(reason) {}

  Utilities::FilesystemUtil::FileInfoResult reason;
};

// Thrown when a server cannot be reached (no address, no connection, time-out); catch it before
// RemoteFailure to report it more mildly.
class SshUnreachable : public RemoteFailure {
 public:
  SshUnreachable(std::string const& text, Utilities::FilesystemUtil::FileInfoResult reason)
      : RemoteFailure(reason, text) {}
};

}  // namespace KVO_Core
