#include "core/sync/transfer/OpenRights.h"

#include <sys/stat.h>

#include <mutex>
#include <set>

#include "core/run/SyncReport.h"
#include "core/sync/Refusals.h"
#include "core/sync/SyncFile.h"
#include "core/sync/transfer/FileSystemTraits.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"

namespace KVO_Core {

namespace fsu = Utilities::FilesystemUtil;
using Utilities::LogLevel;

namespace {

struct OpenRightsSet {
  std::mutex mutex;
  std::set<std::wstring> paths;
};

OpenRightsSet open_rights;

// Keeps OpenRights after rights were set at onto for to; true when the refusal is to be reported.
bool rights_left_open(std::wstring const& to, std::wstring const& onto,
                      fsu::FileInfoResult reason) {
  // Where the file system keeps no permission bits a refusal says nothing about the file, and
  // it would come back on every pass.
  if (reason == 0 || !fs_traits::keeps_permissions(Utilities::to_path(onto))) {
    if (reason != 0)
      Utilities::log_at(LogLevel::Debug, L"carry_rights: no permission bits kept: " + to);
    OpenRights::erase(to);
    return false;
  }
  OpenRights::insert(to);
  return true;
}

}  // namespace

bool OpenRights::open(std::wstring const& path) {
  std::lock_guard lock(open_rights.mutex);
  return open_rights.paths.count(path) > 0;
}

void OpenRights::insert(std::wstring const& path) {
  std::lock_guard lock(open_rights.mutex);
  open_rights.paths.insert(path);
}

void OpenRights::erase(std::wstring const& path) {
  std::lock_guard lock(open_rights.mutex);
  open_rights.paths.erase(path);
}

std::wstring attribute_message(std::wstring const& path, fsu::FileInfoResult reason) {
  return fsu::make_error_message(fsu::file_attributes_not_settable) + L": " + path + L" (" +
         fsu::make_error_message(reason) + L")";
}

void SyncFile::carry_rights(std::wstring const& from, std::wstring const& to) const {
  carry_rights(from, to, to);
}

void SyncFile::carry_rights(std::wstring const& from, std::wstring const& to,
                            std::wstring const& onto) const {
  struct stat source {};
  struct stat written {};
  // A link standing at the destination is never chmodded: that would change what it points to.
  if (::stat(Utilities::to_path(from).c_str(), &source) != 0 ||
      ::lstat(Utilities::to_path(onto).c_str(), &written) != 0 || S_ISLNK(written.st_mode)) {
    OpenRights::erase(to);
    return;
  }
  auto const bits = static_cast<std::filesystem::perms>(source.st_mode & 07777);
  fsu::FileInfoResult const reason = fsu::permissions_refusal(onto, bits);
  if (rights_left_open(to, onto, reason)) report_refusal(attribute_message(to, reason), reason);
}

void SyncFile::carry_rights(std::wstring const& to, std::wstring const& onto,
                            StagedCopy const& copy) const {
  auto const bits = static_cast<std::filesystem::perms>(copy.source_status.st_mode & 07777);
  fsu::FileInfoResult const reason = fsu::permissions_refusal(copy.written.get(), bits);
  if (rights_left_open(to, onto, reason)) report_refusal(attribute_message(to, reason), reason);
}

}  // namespace KVO_Core
