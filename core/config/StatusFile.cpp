#include "core/config/StatusFile.h"

#include <system_error>

#include "core/config/ItemFiles.h"
#include "core/config/SyncItem.h"
#include "utilities/Paths.h"

namespace KVO_Core::item_status {
namespace {

void remove_file(std::filesystem::path const& file) {
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}

}  // namespace

std::filesystem::path status_dir() { return data_dir() / "status"; }

std::filesystem::path file_path(std::wstring const& item_name) {
  return status_dir() / Utilities::to_path(item_file_name(item_name, 0, L"status", L".status"));
}

std::filesystem::path file_path(SyncItem const& item) {
  return status_dir() /
         Utilities::to_path(item_file_name(item.name, item.file_suffix, L"status", L".status"));
}

void remove(std::wstring const& item_name) { remove_file(file_path(item_name)); }

void remove(SyncItem const& item) { remove_file(file_path(item)); }

}  // namespace KVO_Core::item_status
