// Deletions of directory and tree items wait for the end of the pass, where the mass-deletion
// guard sees them as one batch; each is carried out only while its file is still as classified.
#include "core/sync/SyncFile.h"
#include "core/sync/decide/SyncPlan.h"
#include "utilities/FileTime.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"

namespace KVO_Core {

using Utilities::LogLevel;
using Utilities::translation::translate;

bool SyncFile::defer_deletion(PlannedAction action, FileDifference const& d,
                              std::wstring const& source, std::wstring const& target) {
  bool const target_side = action == PlannedAction::DeleteTarget;
  if (!target_side && action != PlannedAction::DeleteSource) return false;
  if (!state || item.type == SyncItemType::File) return false;
  state->deletion_times[key] = target_side ? d.dest_mtime : d.source_mtime;
  state->defer(PendingDeletion{key, source, target, target_side,
                               target_side ? d.dest_size : d.source_size, false});
  return true;
}

void SyncFile::carry_out_deferred(PendingDeletion const& deletion) {
  key = deletion.key;
  if (dry_run) {
    ++count;
    plan_step({item.name,
               deletion.target_side ? PlannedAction::DeleteTarget : PlannedAction::DeleteSource,
               deletion.source, deletion.target, deletion.size, deletion.link});
    return;
  }
  if (state && !deletion.link) {
    auto const classified = state->deletion_times.find(key);
    std::wstring const& path = deletion.target_side ? deletion.target : deletion.source;
    std::optional<ObservedFile> const now =
        (deletion.target_side ? target_side() : source_side()).observe(path);
    // Changed since it was classified: kept, and the pair is met again next pass.
    if (now && (now->size != deletion.size || classified == state->deletion_times.end() ||
                !Utilities::file_time::equal(now->mtime, classified->second))) {
      Utilities::log_at(LogLevel::Info, translate("deletion_skipped_changed"), path);
      return;
    }
  }
  bool const gone = deletion.target_side ? delete_target_file(deletion.source, deletion.target)
                                         : delete_source_file(deletion.source, deletion.target);
  if (gone && state) state->forget(key);
}

}  // namespace KVO_Core
