// Names of the per-item files kept beside the configuration (sync state, status).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace KVO_Core {

// The folder that holds the configuration file: the data folder of the whole system.
std::filesystem::path data_dir();

// The file name for an item: its name made safe for a file name (`fallback` when that leaves
// nothing), "-<suffix>" when suffix is not 0, then `extension`.
std::wstring item_file_name(std::wstring const& item_name, std::uint32_t suffix,
                            std::wstring const& fallback, std::wstring const& extension);

}  // namespace KVO_Core
