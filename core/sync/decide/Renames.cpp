#include "core/sync/decide/Renames.h"

#include "core/crypto/TargetEncryption.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace KVO_Core {

using Utilities::LogLevel;
using Utilities::translation::translate;
using Result = FileDifference::Result;

namespace {

bool within(FileDifference const& d, std::filesystem::file_time_type a,
            std::filesystem::file_time_type b) {
  return !d.newer(a, b) && !d.newer(b, a);
}

}  // namespace

bool may_be_renamed(SyncState const& state, PlannedAction action, FileDifference const& d,
                    std::wstring const& key, SyncFlags const& flags) {
  if (state.deletions_only) return false;
  bool const to_target = action == PlannedAction::CopyToTarget;
  if (!to_target && action != PlannedAction::CopyToSource) return false;
  if (state.find(key) != nullptr) return false;
  if (d.result != (to_target ? Result::DestNotExists : Result::SourceNotExits)) return false;
  return !to_target || flags.twoWaySync || flags.syncDeletions;
}

std::optional<std::wstring> only_old_name(SyncState const& state, FileDifference const& d,
                                          std::wstring const& key, bool to_target) {
  std::uint64_t const size = to_target ? d.source_size : d.dest_size;
  auto const time = to_target ? d.source_mtime : d.dest_mtime;
  std::optional<std::wstring> found;
  for (std::wstring const& candidate : state.with_size(size)) {
    if (candidate == key) continue;
    FileState const* entry = state.find(candidate);
    if (!entry || !within(d, to_target ? entry->source_time : entry->target_time, time)) continue;
    if (found) return std::nullopt;  // more than one: no way to tell which was renamed
    found = candidate;
  }
  return found;
}

bool old_name_moved_away(SyncState const& state, FileDifference const& d, OldName const& old,
                         bool to_target) {
  FileState const* entry = state.find(old.key);
  if (!entry) return false;
  if (old.renamed_side.observe(old.on_renamed_side)) return false;
  std::optional<ObservedFile> const other = old.other_side.observe(old.on_other_side);
  return other && other->size == entry->size &&
         within(d, other->mtime, to_target ? entry->target_time : entry->source_time);
}

bool same_content(std::wstring const& renamed, std::wstring const& old, bool old_encrypted) {
  if (!old_encrypted) return Utilities::FilesystemUtil::files_equal(renamed, old);
  auto const [equal, decided] =
      target_encryption::holds(Utilities::to_path(old), Utilities::to_path(renamed));
  return decided && equal;
}

bool renamed_on(Place const& side, std::wstring const& from, std::wstring const& to) {
  PlaceFailure failure;
  if (side.rename(from, to, failure) == Renamed::Done) return true;
  // A remote failure was logged where it happened.
  if (!failure.detail.empty())
    Utilities::log_at(LogLevel::Error, translate("rename_failed"), from, to, failure.detail);
  return false;
}

}  // namespace KVO_Core
