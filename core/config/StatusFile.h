// Where an item's status file lives: the folder "status" beside the configuration file, one
// "<sanitised item name>.status" per item ("status.status" when the name sanitises to nothing).
#pragma once

#include <filesystem>
#include <string>

namespace KVO_Core {

class SyncItem;

namespace item_status {

// The folder "status" beside the configuration file (not created here).
std::filesystem::path status_dir();
// The status file of an item name.
std::filesystem::path file_path(std::wstring const& item_name);
// The status file of a configured item, told apart ("-2", "-3", ...) from an earlier item whose
// name gives the same file name. Prefer this form for configured items.
std::filesystem::path file_path(SyncItem const& item);
// Deletes the status file; a missing file and every other error are ignored, nothing is logged.
void remove(std::wstring const& item_name);
void remove(SyncItem const& item);

}  // namespace item_status
}  // namespace KVO_Core
