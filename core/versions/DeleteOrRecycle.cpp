#include "core/versions/DeleteOrRecycle.h"

#include "core/config/Config.h"
#include "core/versions/BinNames.h"
#include "core/versions/RecycleBin.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace KVO_Core {

using Utilities::FilesystemUtil::FileInfoResult;

FileInfoResult recycle_refusal(std::filesystem::path const& path,
                               std::chrono::system_clock::time_point now) {
  auto& bin = RecycleBin::instance();
  auto name = restore::stamped_name(path, now);
  while (bin.has_item(name)) {
    now += std::chrono::milliseconds(1);
    name = restore::stamped_name(path, now);
  }
  auto result = bin.add_refusal(path, name);
  if (result == Utilities::FilesystemUtil::file_not_exist) return result;
  auto id = result == Utilities::FilesystemUtil::no_failure ? "file_moved_to_recycle_bin"
                                                            : "file_move_to_recycle_bin_failed";
  Utilities::Logging::instance().log(
      result == Utilities::FilesystemUtil::no_failure ? Utilities::LogLevel::Info
                                                      : Utilities::LogLevel::Error,
      Utilities::translation::translate(id), Utilities::from_path(path));
  return result;
}

FileInfoResult delete_refusal(std::wstring const& path) {
  if (Config::instance()->settings.get().DeleteMode == DeleteMode::Permanent)
    return Utilities::FilesystemUtil::remove_refusal(path);
  return recycle_refusal(Utilities::to_path(path), std::chrono::system_clock::now());
}

bool delete_file(std::wstring const& path) {
  return delete_refusal(path) == Utilities::FilesystemUtil::no_failure;
}

}  // namespace KVO_Core
