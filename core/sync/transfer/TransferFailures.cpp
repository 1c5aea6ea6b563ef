// Early refusals of a copy (unreadable source, no room) and the report of a failed one.
#include <sys/stat.h>

#include "core/crypto/Age.h"
#include "core/run/SyncReport.h"
#include "core/sync/Refusals.h"
#include "core/sync/SyncFile.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace KVO_Core {

namespace fsu = Utilities::FilesystemUtil;
using Utilities::LogLevel;
using Utilities::translation::translate;

bool SyncFile::refused(std::wstring const& path, fsu::FileInfoResult reason) const {
  if (reason == 0) return false;
  std::wstring const text = fsu::make_error_message(reason) + L": " + path;
  report_refusal(text, reason);
  return true;
}

bool SyncFile::read_refused(std::wstring const& path) const {
  opened_source.reset();
  if (side_of(path).remote()) return false;
  StagedCopy opened;
  fsu::FileInfoResult const reason = fsu::read_refusal(path, opened.source, opened.source_status);
  // The copy reads from what was opened here rather than opening the file again.
  if (reason == 0 && S_ISREG(opened.source_status.st_mode))
    opened_source.emplace(path, std::move(opened));
  return refused(path, reason);
}

bool SyncFile::copy_refused(std::wstring const& from, std::wstring const& to,
                            std::uint64_t bytes) const {
  if (read_refused(from)) return true;
  return space_short(to, item.flags.encryptTarget ? age::encrypted_size(bytes) : bytes);
}

bool SyncFile::space_short(std::wstring const& to, std::uint64_t needed) const {
  Place const& side = side_of(to);
  auto const [free, known] = side.room(to, item.flags.fatherSonPrinciple);
  if (!known || free >= needed) return false;
  if (side.read_only(to)) return refused(to, fsu::filesystem_read_only);
  fsu::FileInfoResult const reason = side.full_reason();
  Utilities::log_at(LogLevel::Warning, fsu::make_error_message(reason) + L": " + to);
  report_sync_shortage(to, needed, free, reason);
  return true;
}

std::uint64_t SyncFile::size_to_copy(std::wstring const& from) const {
  // A remote file cannot be asked locally: the size seen at the comparison stands in for it.
  if (!side_of(from).remote()) {
    struct stat st {};
    if (::stat(Utilities::to_path(from).c_str(), &st) == 0)
      return static_cast<std::uint64_t>(st.st_size);
  }
  std::optional<ObservedFile> const* before = seen(from);
  return before && before->has_value() ? (*before)->size : 0;
}

void SyncFile::report_failed_copy(std::wstring const& from, std::wstring const& to) const {
  CopyFailure const& f = failure;
  Utilities::log_at(LogLevel::Error, translate("copying_label"), from, to,
                    translate("copy_failed") + L" " + f.message);
  if (reach_of(f.reason) == FailureReach::Space) {
    auto const [room, known] = side_of(to).room(to, item.flags.fatherSonPrinciple);
    std::uint64_t const free = known ? room : 0;
    report_sync_shortage(to, size_to_copy(from), free, f.reason);
    return;
  }
  std::wstring text = translate("copy_failed_for") + from + L" -> " + to;
  if (!f.message.empty()) text += L" (" + f.message + L")";
  report_sync_refusal(text, f.reason);
}

}  // namespace KVO_Core
