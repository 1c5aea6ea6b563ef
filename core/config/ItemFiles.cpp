#include "core/config/ItemFiles.h"

#include "core/config/Config.h"
#include "utilities/FileNames.h"
#include "utilities/Paths.h"

namespace KVO_Core {

std::filesystem::path data_dir() {
  return Utilities::to_path(Config::get_root_pathname()).parent_path();
}

std::wstring item_file_name(std::wstring const& item_name, std::uint32_t suffix,
                            std::wstring const& fallback, std::wstring const& extension) {
  std::wstring stem = Utilities::file_name::sanitized(item_name);
  if (stem.empty()) stem = fallback;
  if (suffix != 0) stem += L"-" + std::to_wstring(suffix);
  return stem + extension;
}

}  // namespace KVO_Core
