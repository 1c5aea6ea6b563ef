#include "core/config/StateLocation.h"

#include <system_error>

#include "core/config/ItemFiles.h"
#include "core/config/SyncItem.h"
#include "utilities/Paths.h"

namespace KVO_Core {

std::filesystem::path sync_state_dir() { return data_dir() / "state"; }

std::filesystem::path sync_state_file_path(std::filesystem::path const& folder,
                                           std::wstring const& item_name) {
  return folder / Utilities::to_path(item_file_name(item_name, 0, L"state", L".tsv"));
}

std::filesystem::path sync_state_file_path(std::filesystem::path const& folder,
                                           SyncItem const& item) {
  return folder /
         Utilities::to_path(item_file_name(item.name, item.file_suffix, L"state", L".tsv"));
}

bool remove_sync_state(std::filesystem::path const& file) {
  std::error_code error;
  std::filesystem::remove(file, error);
  return !error;
}

}  // namespace KVO_Core
