// The one way the engine tells a failure: its Error line, then its report line, whose reason
// decides whether the run is given up (a place that cannot be used) or only the file fails.
#pragma once

#include <string>

#include "utilities/FailureReasons.h"

namespace KVO_Core {

void report_refusal(std::wstring const& text, Utilities::FilesystemUtil::FileInfoResult reason);

}  // namespace KVO_Core
