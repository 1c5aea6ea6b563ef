// Replacing a whole file the system owns so that a crash or a failure leaves either the old or
// the new content, never a half-written or missing file.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string_view>

namespace Utilities::FilesystemUtil {

struct ReplacedFile {
  struct stat written {};     // the new file as it was just before it took the name
  int folder_sync_error = 0;  // errno of a failed fsync of the folder (the new content is in place)
};

// Writes `bytes` to "<path>.tmp" beside `path` (created exclusively without following links; only
// a regular file left by an interrupted write is cleared first), gives it the old file's mode
// (0600 for a new file), fsyncs it, renames it over `path` and fsyncs the folder. Throws
// std::system_error naming the step and the path; the old file is then untouched and no
// temporary file is left behind.
ReplacedFile replace_file_durably(std::filesystem::path const& path, std::string_view bytes);

}  // namespace Utilities::FilesystemUtil
