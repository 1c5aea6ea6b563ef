// Moving a file's bytes from one side onto the other: the sides' own write, or the age
// encryption of a local file (uploaded from a scratch file for a remote target).
#include <system_error>

#include "core/crypto/TargetEncryption.h"
#include "core/run/RunContext.h"
#include "core/sync/LocalPlace.h"
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

CopyResult encrypt_and_upload(std::wstring const& from, Place const& to_side,
                              std::wstring const& to, CopyFailure& failure) {
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
    result = to_side.write(LocalPlace(), scratch_name, to, failure);
  }
  fsu::remove_file(scratch_name, Utilities::LogLevel::None);
  return result;
}

}  // namespace

CopyResult SyncFile::transfer(Place const& from_side, std::wstring const& from,
                              Place const& to_side, std::wstring const& to) {
  failure = CopyFailure{};
  if (!item.flags.encryptTarget) return to_side.write(from_side, from, to, failure);
  if (to_side.remote()) return encrypt_and_upload(from, to_side, to, failure);
  return encrypt_local_file(from, to, failure);
}

}  // namespace KVO_Core
