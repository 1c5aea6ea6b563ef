// A file renamed on one side shows as a new name and a vanished old one that the state knows:
// the old file on the other side is renamed instead of copying the new one and deleting the old.
#include "core/crypto/TargetEncryption.h"
#include "core/sync/SyncFile.h"
#include "core/sync/decide/SyncPlan.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

using Utilities::LogLevel;
using Utilities::translation::translate;
using Result = FileDifference::Result;

namespace {

bool within(FileDifference const& d, std::filesystem::file_time_type a,
            std::filesystem::file_time_type b) {
  return !d.newer(a, b) && !d.newer(b, a);
}

// The renamed file against the old one on the other side; an encrypted old target is read
// through its key, and one that no key opens counts as different.
bool same_content(std::wstring const& renamed, std::wstring const& old, bool old_encrypted) {
  if (!old_encrypted) return Utilities::FilesystemUtil::files_equal(renamed, old);
  auto const [equal, decided] =
      target_encryption::holds(Utilities::to_path(old), Utilities::to_path(renamed));
  return decided && equal;
}

}  // namespace

bool SyncFile::rename_instead(PlannedAction action, FileDifference const& d,
                              std::wstring const& source, std::wstring const& target) {
  if (!state || state->deletions_only) return false;
  bool const to_target = action == PlannedAction::CopyToTarget;
  if (!to_target && action != PlannedAction::CopyToSource) return false;
  if (state->find(key) != nullptr) return false;
  if (d.result != (to_target ? Result::DestNotExists : Result::SourceNotExits)) return false;
  // A one-way item that keeps deleted files must not lose the old target name.
  if (to_target && !item.flags.twoWaySync && !item.flags.syncDeletions) return false;
  std::optional<std::wstring> const old = rename_candidate(d, to_target);
  if (!old) return false;
  std::optional<PendingDeletion> claimed = state->claim(*old);
  std::wstring const old_path = side_path(*old, to_target);
  std::wstring const new_path = to_target ? target : source;
  // Size and time alone can match a different file; where both sides are local, the content
  // decides.
  bool const done = old_file_moved_away(d, *old, to_target, claimed.has_value()) &&
                    (either_remote() || same_content(to_target ? source : target, old_path,
                                                     to_target && item.flags.encryptTarget)) &&
                    (dry_run || rename_path(old_path, new_path, !to_target));
  if (!done) {
    if (claimed) state->defer(std::move(*claimed));
    return false;
  }
  ++count;
  state->renamed(*old);
  PlannedAction const renamed_as =
      to_target ? PlannedAction::RenameInTarget : PlannedAction::RenameInSource;
  if (dry_run) {
    plan_step({item.name, renamed_as, old_path, new_path, 0, false});
    return true;
  }
  Utilities::log_at(LogLevel::Info,
                    translate(to_target ? "renamed_in_target" : "renamed_in_source"), old_path,
                    std::wstring(L"->"), new_path);
  state->forget(*old);
  record_pair(key, source, target);
  return true;
}

std::optional<std::wstring> SyncFile::rename_candidate(FileDifference const& d,
                                                       bool to_target) const {
  std::uint64_t const size = to_target ? d.source_size : d.dest_size;
  auto const time = to_target ? d.source_mtime : d.dest_mtime;
  std::optional<std::wstring> found;
  for (std::wstring const& candidate : state->with_size(size)) {
    if (candidate == key) continue;
    FileState const* entry = state->find(candidate);
    if (!entry || !within(d, to_target ? entry->source_time : entry->target_time, time)) continue;
    if (found) return std::nullopt;  // more than one: no way to tell which was renamed
    found = candidate;
  }
  return found;
}

bool SyncFile::old_file_moved_away(FileDifference const& d, std::wstring const& old_key,
                                   bool to_target, bool claimed) const {
  if (claimed) return true;
  FileState const* entry = state->find(old_key);
  if (!entry) return false;
  Place const& renamed_side = to_target ? source_side() : target_side();
  Place const& other_side = to_target ? target_side() : source_side();
  if (renamed_side.observe(side_path(old_key, !to_target))) return false;
  std::optional<ObservedFile> const other = other_side.observe(side_path(old_key, to_target));
  return other && other->size == entry->size &&
         within(d, other->mtime, to_target ? entry->target_time : entry->source_time);
}

bool SyncFile::rename_path(std::wstring const& from, std::wstring const& to, bool on_source) {
  if (!create_parent_dir(to, on_source)) return false;
  // Never over a file that appeared at the new name since the comparison: that one is then
  // met by the copy, which refuses to replace what it did not compare.
  PlaceFailure failure;
  Place const& side = on_source ? source_side() : target_side();
  if (side.rename(from, to, failure) == Renamed::Done) return true;
  // A remote failure was logged where it happened.
  if (!failure.detail.empty())
    Utilities::log_at(LogLevel::Error, translate("rename_failed"), from, to, failure.detail);
  return false;
}

bool SyncFile::ensure_parent_dir(PlannedAction action, std::wstring const& source,
                                 std::wstring const& target) {
  bool const to_source = action == PlannedAction::CopyToSource;
  return create_parent_dir(to_source ? source : target, to_source);
}

}  // namespace KVO_Core
