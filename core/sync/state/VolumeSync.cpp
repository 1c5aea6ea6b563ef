#include "core/sync/state/VolumeSync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/FileDescriptor.h"
#include "utilities/FailureReasons.h"
#include "utilities/Paths.h"

namespace KVO_Core {

namespace {

platform::FileDescriptor open_nearest(std::filesystem::path folder) {
  for (;;) {
    platform::FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd || !folder.has_relative_path()) return fd;
    folder = folder.parent_path();
  }
}

}  // namespace

bool sync_volumes_of(std::set<std::wstring> const& folders, std::wstring& failure) {
  namespace fsu = Utilities::FilesystemUtil;
  std::set<dev_t> synced;
  for (std::wstring const& folder : folders) {
    platform::FileDescriptor const fd = open_nearest(Utilities::to_path(folder));
    struct stat st {};
    bool const done = fd && ::fstat(fd.get(), &st) == 0 &&
                      (synced.count(st.st_dev) != 0 || ::syncfs(fd.get()) == 0);
    if (!done) {
      failure = fsu::failure_text({errno, std::generic_category()}) + L": " + folder;
      return false;
    }
    synced.insert(st.st_dev);
  }
  return true;
}

}  // namespace KVO_Core
