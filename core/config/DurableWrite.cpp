#include "core/config/DurableWrite.h"

#include <cstring>

#include "utilities/DurableWrite.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

FileStamp replace_file_durably(std::filesystem::path const& given, std::string_view bytes) {
  // A configuration kept elsewhere behind a link stays there; the link is not replaced.
  std::filesystem::path path = given;
  std::error_code ignored;
  if (std::filesystem::is_symlink(given, ignored)) {
    auto resolved = std::filesystem::canonical(given, ignored);
    if (!ignored) path = resolved;
  }
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  Utilities::log_at(Utilities::LogLevel::Info, L"rename_file", Utilities::from_path(temporary),
                    Utilities::from_path(path));
  auto const replaced = Utilities::FilesystemUtil::replace_file_durably(path, bytes);
  // The new content is in place now; a folder that cannot be synced is reported, not undone.
  if (replaced.folder_sync_error != 0) {
    Utilities::log_at(
        Utilities::LogLevel::Error,
        Utilities::translation::translate(
            "config_folder_not_synced",
            {Utilities::from_path(path.parent_path()),
             Utilities::util::string_to_wstring(std::strerror(replaced.folder_sync_error))}));
  }
  return file_stamp_of(replaced.written);
}

}  // namespace KVO_Core
