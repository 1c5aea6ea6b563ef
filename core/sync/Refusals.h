// The one way the engine tells a failure: its Error line, then its report line, whose reason
// decides whether the run is given up (a place that cannot be used) or only the file fails.
#pragma once

#include <string>

#include "utilities/FailureReasons.h"

namespace KVO_Core {

void report_refusal(std::wstring const& text, Utilities::FilesystemUtil::FileInfoResult reason);

// The same for a failure that has no reason of its own: only the file or the item fails.
void report_error(std::wstring const& text);

}  // namespace KVO_Core
