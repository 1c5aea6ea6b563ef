// Replacing a whole file so that a crash or failure leaves either the old or the new content:
// a temporary file "<path>.tmp" beside it, fsync, rename over the path, fsync of the folder.
#pragma once

#include <filesystem>
#include <string_view>

#include "core/config/FileStamp.h"

namespace KVO_Core {

// Writes `bytes` to `path`. The file keeps its mode (a new one gets 0600). Returns the stamp of
// the file now at `path`. Throws std::system_error (naming the step and the path) on any
// failure; the old file is then untouched and no temporary file of ours is left behind.
FileStamp replace_file_durably(std::filesystem::path const& path, std::string_view bytes);

}  // namespace KVO_Core
