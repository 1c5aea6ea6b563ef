// The end of a pass: the mass-deletion guard over the deletions put off during the walk, then
// the deletions in queue order, then the emptied directories, then the link warnings.
#include "core/run/RunContext.h"
#include "core/run/SyncReport.h"
#include "core/sync/SyncBase.h"
#include "core/sync/SyncFile.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/StagingFiles.h"
#include "utilities/Translation.h"

namespace KVO_Core {

using Utilities::LogLevel;
using Utilities::FilesystemUtil::FileInfoResult;
using Utilities::translation::translate;

namespace {

// Leftovers of killed copies do not keep a folder that was deleted on the other side.
void remove_leftovers_in(std::wstring const& folder) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(Utilities::to_path(folder), ec), end;
       !ec && it != end; it.increment(ec))
    if (Utilities::staging::staging_name(Utilities::from_path(it->path().filename())))
      Utilities::staging::remove_leftover(it->path());
}

}  // namespace

bool mass_deletion(std::uint64_t pending, std::uint64_t total) {
  // Both products in unsigned 64 bits; exactly half is not a mass deletion.
  return pending > 9 && pending * 100 > total * 50;
}

bool SyncBase::deletions_refused(std::vector<PendingDeletion> const& deletions) const {
  std::uint64_t const n = deletions.size();
  std::uint64_t extra = 0;
  for (PendingDeletion const& deletion : deletions)
    if (!state->find(deletion.key)) ++extra;
  std::uint64_t const total = state->entries.size() + extra;
  bool const mass = mass_deletion(n, total) && !state->mass_deletion_confirmed;
  auto const text_of = [&](char const* id) {
    return translate(id, {item.name, std::to_wstring(n), std::to_wstring(total)});
  };
  if (mass && dry_run) {
    std::wstring const text = text_of("mass_deletion_planned");
    Utilities::log_at(LogLevel::Warning, text);
    RunContext::note(LogLevel::Warning, text);
  }
  bool const refused = mass && !dry_run;
  if (!refused) {
    clear_refused(item.name);
    return false;
  }
  std::wstring const text = text_of("mass_deletion_refused");
  // Logged once while it lasts, but an error of every run: the item's status must not read
  // as a success while its deletions wait.
  report_sync_error(text);
  if (mark_refused(item.name)) {
    Utilities::log_at(LogLevel::Error, text);
    RunContext::note(LogLevel::Error, text);
  }
  return true;
}

void SyncBase::carry_out_deferred() {
  if (!state) return;
  std::vector<PendingDeletion> const deletions = state->take_deletions();
  std::vector<PendingDirRemoval> const removals = state->take_dir_removals();
  // The classified times serve this batch only, whatever happens to it.
  struct Forget {
    SyncState* state;
    ~Forget() { state->deletion_times.clear(); }
  } const forget_times{state};
  if (deletions_refused(deletions)) return;
  for (PendingDeletion const& deletion : deletions) {
    if (RunContext::stopping()) return;
    SyncItem const entry(item.name, item.type, deletion.source, deletion.target, item.wildcard,
                         Exclusions{}, item.flags, item.compare_items);
    SyncFile job(entry, count, dry_run, false, state, source_root, target_root, &sides);
    job.carry_out_deferred(deletion);
  }
  for (PendingDirRemoval const& removal : removals) {
    if (RunContext::stopping()) return;
    remove_dir_if_empty(removal.path, removal.target_side ? target_side() : source_side());
  }
}

void SyncBase::remove_dir_if_empty(std::wstring const& path, Place const& side) const {
  if (dry_run) return;
  if (!side.remote()) remove_leftovers_in(path);
  PlaceListing const listing = side.list(path);
  if (!listing.complete || !listing.entries.empty()) return;
  PlaceFailure const failure = side.remove_empty_folder(path);
  // A file that arrived since the listing keeps the folder, and nothing below is lost.
  if (failure.reason == FileInfoResult::file_not_exist ||
      failure.reason == FileInfoResult::file_conflict)
    return;
  if (failure) {
    report_side_failure("dir_delete_failed", failure);
    return;
  }
  Utilities::log_at(LogLevel::Info, translate("empty_dir_removed"), path);
}

void SyncBase::finish_pass() {
  carry_out_deferred();
  report_links();
  report_mode_conflict();
}

}  // namespace KVO_Core
