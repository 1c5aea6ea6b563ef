#include "core/remote/TransferFile.h"

#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "core/remote/RemoteOps.h"
#include "utilities/FileNames.h"
#include "utilities/Paths.h"

namespace KVO_Core {

namespace fs = std::filesystem;

TransferFile::TransferFile() {
  // A predictable name in a shared folder could be planted beforehand; mkdtemp's folder cannot.
  std::string pattern = (fs::temp_directory_path() / "pellimoravin-transfer-XXXXXX").string();
  if (!::mkdtemp(pattern.data()))
    throw fs::filesystem_error("mkdtemp", fs::path(pattern),
                               std::error_code(errno, std::generic_category()));
  folder_ = pattern;
  path_ = Utilities::file_name::with_timestamp_prefix(folder_ / "pellimoravin-transfer.tmp",
                                                      std::chrono::system_clock::now());
}

TransferFile::~TransferFile() { remove(); }

void TransferFile::remove() const {
  std::error_code ignored;
  fs::remove(path_, ignored);
  fs::remove(folder_, ignored);
}

CopyResult copy_through_transfer_file(std::wstring const& from, std::wstring const& to) {
  TransferFile const transfer;
  std::wstring const local = Utilities::from_path(transfer.path());
  CopyResult result = copy_ssh_to_fs(from, local);
  if (result == CopyResult::Done) result = copy_fs_to_ssh(local, to);
  transfer.remove();
  return result;
}

}  // namespace KVO_Core
