// Moving a file-system entry onto a name without ever replacing what is there.
#pragma once

#include <filesystem>
#include <system_error>

namespace Utilities::no_clobber {

// Renames from to to on the same file system; fails with EEXIST when to exists (a dangling link
// included), EXDEV across file systems, else the system's error. renameat2 RENAME_NOREPLACE,
// where the file system lacks it link + unlink (for a directory, or where the file system has no
// hard links either: a rename after a check).
std::error_code rename(std::filesystem::path const& from, std::filesystem::path const& to);

// A name beside path that did not exist when asked: path + "." + the process id + "-" + a
// process-wide counter + ".kvo-part" (names ending in ".kvo-part" are never synchronised).
std::filesystem::path staging_name(std::filesystem::path const& path);

}  // namespace Utilities::no_clobber
