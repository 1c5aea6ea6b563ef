// Deleting a local file the way the settings ask: into the recycle bin or for good.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include "utilities/FailureReasons.h"

namespace KVO_Core {

// Removes the file (DeleteMode Permanent) or moves it into the bin under its path without the
// root and a stamped name. 0 gone; 1 nothing there (not logged); else the reason (logged).
Utilities::FilesystemUtil::FileInfoResult delete_refusal(std::wstring const& path);
// delete_refusal gave 0.
bool delete_file(std::wstring const& path);

// The recycling half of delete_refusal with the deletion time given.
Utilities::FilesystemUtil::FileInfoResult recycle_refusal(
    std::filesystem::path const& path, std::chrono::system_clock::time_point now);

}  // namespace KVO_Core
