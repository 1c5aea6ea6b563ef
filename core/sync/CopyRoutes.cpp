// Picking the route that moves a file's bytes: the age encryption of a local file (uploaded for a
// remote target), the remote copy operations, or the local block copy.
#include <system_error>

#include "core/config/RemotePaths.h"
#include "core/crypto/TargetEncryption.h"
#include "core/remote/RemoteOps.h"
#include "core/run/RunContext.h"
#include "core/sync/LocalBlockCopy.h"
#include "core/sync/SyncFile.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Paths.h"

namespace KVO_Core {

namespace fsu = Utilities::FilesystemUtil;

namespace {

CopyResult encrypt_local_file(std::wstring const& from, std::wstring const& to,
                              CopyFailure& failure) {
  age::Progress const progress = [](std::uint64_t done) {
    RunContext::report_copied_bytes(done);
    return !RunContext::stopping();
  };
  age::Result const result =
      target_encryption::encrypt_file(Utilities::to_path(from), Utilities::to_path(to), progress);
  switch (result) {
    case age::Ok:
      return CopyResult::Done;
    case age::Cancelled:
      return CopyResult::Cancelled;
    case age::ReadFailed:
      read_failed(from, failure, fsu::last_stream_error());
      return CopyResult::Failed;
    case age::WriteFailed:
      write_failed(to, failure, fsu::last_stream_error());
      return CopyResult::Failed;
    default:
      failure = {fsu::unknown_error, target_encryption::message(result) + L": " + from};
      return CopyResult::Failed;
  }
}

CopyResult encrypt_and_upload(std::wstring const& from, std::wstring const& to,
                              CopyFailure& failure) {
  std::filesystem::path const scratch = target_encryption::scratch_file();
  std::wstring const scratch_name = Utilities::from_path(scratch);
  CopyResult result = encrypt_local_file(from, scratch_name, failure);
  if (result == CopyResult::Done) {
    std::error_code ignored;
    auto const source = Utilities::to_path(from);
    std::filesystem::permissions(scratch, std::filesystem::status(source, ignored).permissions(),
                                 ignored);
    auto const time = std::filesystem::last_write_time(source, ignored);
    if (!ignored) std::filesystem::last_write_time(scratch, time, ignored);
    result = copy_fs_to_ssh(scratch_name, to);
  }
  fsu::remove_file(scratch_name, Utilities::LogLevel::None);
  return result;
}

}  // namespace

CopyResult SyncFile::core_copy_function(std::wstring const& from, std::wstring const& to) {
  failure = CopyFailure{};
  ssh_take_failure_reason();
  bool const to_remote = is_remote_path(to);
  CopyResult result;
  if (item.flags.encryptTarget)
    result =
        to_remote ? encrypt_and_upload(from, to, failure) : encrypt_local_file(from, to, failure);
  else if (is_remote_path(from))
    result = to_remote ? copy_ssh_to_ssh(from, to) : copy_ssh_to_fs(from, to);
  else if (to_remote)
    result = copy_fs_to_ssh(from, to);
  else
    result = block_copy(from, to, failure);
  if (result != CopyResult::Failed || failure.reason != 0) return result;
  fsu::FileInfoResult const reason = ssh_take_failure_reason();
  if (reason != 0 && reason != fsu::unknown_error)
    failure = {reason, fsu::make_error_message(reason)};
  else if (to_remote && ssh_read_only_filesystem(to))
    failure = {fsu::filesystem_read_only,
               fsu::make_error_message(fsu::filesystem_read_only) + L": " + to};
  return result;
}

}  // namespace KVO_Core
