// The end of a pass: the mass-deletion guard over the deletions put off during the walk, then
// the deletions in queue order, then the emptied directories, then the link warnings.
#include <unistd.h>
#include <cerrno>

#include "core/remote/RemoteOps.h"
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
    SyncFile job(entry, count, dry_run, false, state, source_root, target_root);
    job.carry_out_deferred(deletion);
  }
  for (PendingDirRemoval const& removal : removals) {
    if (RunContext::stopping()) return;
    remove_dir_if_empty(removal.path, removal.remote);
  }
}

void SyncBase::remove_dir_if_empty(std::wstring const& path, bool remote) const {
  if (dry_run) return;
  FileInfoResult reason = FileInfoResult::no_failure;
  if (remote) {
    std::vector<SshDirEntry> listed;
    if (!ssh_list_dir(path, listed) || !listed.empty()) return;
    reason = ssh_rmdir_refusal(path);
  } else {
    remove_leftovers_in(path);
    std::error_code ec;
    bool const empty = std::filesystem::is_empty(Utilities::to_path(path), ec);
    if (ec || !empty) return;
    // rmdir only: a file that arrived since the test makes it fail, and nothing below is lost.
    if (::rmdir(Utilities::to_path(path).c_str()) != 0) {
      int const error = errno;
      if (error == ENOTEMPTY || error == EEXIST) return;
      reason = Utilities::FilesystemUtil::reason_for_failure(
          std::error_code(error, std::generic_category()));
    }
  }
  if (reason == FileInfoResult::file_not_exist) return;
  if (reason != 0) {
    std::wstring const text = translate("dir_delete_failed") + path + known_reason(reason);
    Utilities::log_at(LogLevel::Error, text);
    report_sync_refusal(text, reason);
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
