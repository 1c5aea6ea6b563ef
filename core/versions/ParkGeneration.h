// Making a replaced local file its next backup generation.
#pragma once

#include <string>

#include "utilities/FailureReasons.h"

namespace KVO_Core::generations {

// Moves the local file at path to its next generation name ("<path>.bak.<n>"), never onto an
// existing name. 0 with parked_as set; the listing's reason when the folder cannot be read (a
// guessed number could hit an older generation); else the rename's reason.
Utilities::FilesystemUtil::FileInfoResult park_refusal(std::wstring const& path,
                                                       std::wstring& parked_as);

}  // namespace KVO_Core::generations
