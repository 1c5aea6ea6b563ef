// Backup-proof files: one JSON file per item in the folder the settings name, to which every
// run that did something appends one entry (time, item, sides, files, bytes, status, errors).
// Keys are translated message ids in the language in use when the entry was written.
#pragma once

#include <filesystem>
#include <string>

#include "core/config/SyncItem.h"
#include "core/run/SyncReport.h"

namespace KVO_Core {

// `folder` / <item name made safe for a file name>.json; "Sicherungsnachweis.json" when the
// safe name is empty.
std::filesystem::path copy_log_file_path(std::filesystem::path const& folder,
                                         std::wstring const& item_name);

// Appends one entry for the run to the item's proof file, creating the folder and the file as
// needed, and replaces the file durably. A run that copied nothing (no file, no byte) appends
// only when its error lines differ from those of the file's last entry or that entry is an hour
// old, so a run refused in every pass does not grow the file every second; true then without
// writing. False after an Error line when the folder cannot be made, the existing file cannot
// be read or is no valid UTF-8 JSON (the file is left as it is), or the new file cannot be
// written (the old one stays).
bool write_copy_log(std::filesystem::path const& folder, SyncItem const& item,
                    unsigned long file_count, SyncReport const& report);

}  // namespace KVO_Core
