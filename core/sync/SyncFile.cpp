#include "core/sync/SyncFile.h"

#include "core/config/VolumeName.h"
#include "core/crypto/TargetEncryption.h"
#include "core/run/RunContext.h"
#include "core/run/SyncReport.h"
#include "core/sync/PathNames.h"
#include "core/sync/Refusals.h"
#include "core/sync/ReportedOnce.h"
#include "core/sync/decide/ConflictCopy.h"
#include "core/sync/decide/Decision.h"
#include "core/sync/decide/Renames.h"
#include "core/sync/decide/SyncPlan.h"
#include "core/sync/transfer/OpenRights.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

using Utilities::LogLevel;
using Utilities::FilesystemUtil::FileInfoResult;
using Utilities::translation::translate;
using Result = FileDifference::Result;

namespace {

ReportedOnce dangling_links;
ReportedOnce target_newer;
ReportedOnce content_conflicts;
ReportedOnce both_modified;
ReportedOnce deleted_but_changed;

std::wstring local_text(std::unique_ptr<SyncPath> const& side) {
  return side ? without_volume_spec(side->path()) : std::wstring();
}

// The UTF-8 name of path when it lies directly in folder; empty otherwise.
std::string name_in(std::wstring const& path, std::wstring const* folder) {
  if (folder == nullptr || folder->empty()) return {};
  std::size_t const start = folder->size() + (folder->back() == L'/' ? 0 : 1);
  if (path.size() <= start || path.compare(0, folder->size(), *folder) != 0 ||
      path[start - 1] != L'/' || path.find(L'/', start) != std::wstring::npos)
    return {};
  return Utilities::util::wstring_to_string(path.substr(start));
}

// A local side is asked once: a regular file that lstat finds is no link, and what lstat read
// is what the comparison needs (known set). Only a link is followed to see where it leads. In
// the walk's open folder only the name is looked up.
bool leads_nowhere(std::wstring const& path, Place const& side, int folder_fd,
                   std::wstring const* folder, std::uint64_t& size,
                   std::filesystem::file_time_type& mtime,
                   Utilities::FilesystemUtil::ChangeStamp& stamp, bool& known) {
  bool link = false;
  if (!side.remote()) {
    std::string const name = folder_fd >= 0 ? name_in(path, folder) : std::string();
    known = name.empty() ? Utilities::FilesystemUtil::regular_entry(path, size, mtime, stamp, link)
                         : Utilities::FilesystemUtil::regular_entry(folder_fd, name.c_str(), size,
                                                                    mtime, stamp, link);
  }
  if (link && !Utilities::FilesystemUtil::file_exists(path)) {
    if (dangling_links.insert(path))
      Utilities::log_at(LogLevel::Warning, translate("symlink_dangling") + path);
    return true;
  }
  dangling_links.erase(path);
  return false;
}

// Logs and reports an unresolved condition once while it lasts; other results clear it.
void once_while(ReportedOnce& set, bool holds, char const* message_id, std::wstring const& source,
                std::wstring const& target, bool as_error) {
  if (!holds) {
    set.erase(target);
    return;
  }
  if (!set.insert(target)) return;
  if (!as_error) {
    Utilities::log_at(LogLevel::Info, translate(message_id), source, std::wstring(L"->"), target);
    return;
  }
  report_refusal(translate(message_id) + L" " + source + L" <-> " + target,
                 FileInfoResult::file_conflict);
}

bool writes_to_source(PlannedAction action) {
  return action == PlannedAction::CopyToSource || action == PlannedAction::ConflictTargetWins;
}

bool is_deletion(PlannedAction action) {
  return action == PlannedAction::DeleteTarget || action == PlannedAction::DeleteSource;
}

}  // namespace

SyncFile::SyncFile(SyncItem item, std::uint64_t& count, bool dry_run, bool target_is_dir,
                   SyncState* state, std::wstring const& source_root,
                   std::wstring const& target_root, Sides const* sides)
    : SyncBase(std::move(item), count, dry_run, state, source_root, target_root, sides),
      target_is_dir(target_is_dir) {}

void SyncFile::operator()() {
  Utilities::log_at(LogLevel::Debug, L"SyncFile::operator()()");
  if (RunContext::stopping()) return;
  try {
    std::wstring const source = local_text(item.source());
    std::wstring target = local_text(item.target());
    if (target_is_dir) {
      Utilities::log_at(LogLevel::Debug,
                        std::wstring(L"transfer_filename: ") + source + L" -> " + target);
      target = Utilities::util::with_trailing_char(target, L'/') + entry_name_of(source);
    }
    key = state_key(source);
    FileDifference d(source, target, item.compare_items, item.ssh_path_type(),
                     item.flags.twoWaySync, file_base(), item.flags.encryptTarget);
    OpenFolders const none;
    OpenFolders const& open = folders ? *folders : none;
    if (leads_nowhere(source, source_side(), open.source.get(), open.source_dir, d.source_size,
                      d.source_mtime, d.source_stamp, d.source_known) ||
        leads_nowhere(target, target_side(), open.target.get(), open.target_dir, d.dest_size,
                      d.dest_mtime, d.dest_stamp, d.dest_known))
      return;
    d.settled_item = &item.name;
    d.read_ahead = read_ahead;
    d.sides = sides;
    std::uint64_t const bytes = d();
    sync_difference(d, source, target, bytes);
  } catch (std::exception const& e) {
    std::wstring const message = Utilities::util::string_to_wstring(e.what());
    Utilities::log_at(LogLevel::Error, translate("copying_label"), side_text(item.source()),
                      side_text(item.target()), message);
    report_sync_error(message);
  } catch (...) {
    Utilities::log_at(LogLevel::Error, translate("copying_label"), side_text(item.source()),
                      side_text(item.target()), L" - " + translate("unknown_error"));
    report_sync_error(translate("unknown_error_for") + side_text(item.source()));
  }
}

// Also marks the pair met in this pass.
FileState const* SyncFile::file_base() const {
  if (!state) return nullptr;
  FileState const* entry = state->meet(key);
  return entry && !entry->link_target ? entry : nullptr;
}

void SyncFile::sync_difference(FileDifference const& d, std::wstring const& source,
                               std::wstring const& target, std::uint64_t bytes) {
  if (not_readable(d) || too_large(d, source) || restamped(d, source, target)) return;
  std::optional<PlannedAction> const action = decide(d);
  if (!action) {
    once_while(target_newer, d.result == Result::DestModified, "target_newer_not_copied", source,
               target, false);
    once_while(content_conflicts, d.result == Result::ContentConflict,
               "content_conflict_not_copied", source, target, true);
    once_while(both_modified, d.result == Result::BothModified, "both_modified_not_copied", source,
               target, true);
    if (d.result == Result::Equal && !dry_run && !either_remote() && OpenRights::open(target))
      carry_rights(source, target);
    settle_state(d);
    return;
  }
  bool const restored =
      d.base && (d.result == Result::DestNotExists || d.result == Result::SourceNotExits);
  // A pair that is acted on no longer has an unresolved condition to report.
  target_newer.erase(target);
  content_conflicts.erase(target);
  both_modified.erase(target);
  if (!restored) {
    deleted_but_changed.erase(target);
  } else if (deleted_but_changed.insert(target)) {
    Utilities::log_at(LogLevel::Warning, translate("deleted_but_changed_kept"), source,
                      std::wstring(L"<->"), target);
  }
  if (rename_instead(*action, d, source, target) || defer_deletion(*action, d, source, target))
    return;
  if (dry_run) {
    if (empty_file_skipped(d, *action)) return;
    ++count;
    bool const target_bytes =
        *action == PlannedAction::CopyToSource || *action == PlannedAction::DeleteTarget ||
        *action == PlannedAction::RenameInTarget || *action == PlannedAction::ConflictTargetWins;
    plan_step(
        {item.name, *action, source, target, target_bytes ? d.dest_size : d.source_size, false});
    return;
  }
  // The folder of the side to be written may be gone (a restored pair, a vanished target):
  // make it before every copy, not only for restored pairs, or the copy fails on every pass.
  if (!is_deletion(*action)) {
    bool const to_source = writes_to_source(*action);
    if (!create_parent_dir(to_source ? source : target, to_source)) return;
  }
  compared = Compared{source, target, std::nullopt, std::nullopt};
  if (d.result != Result::SourceNotExits && d.result != Result::SourceDeleted)
    compared->source_seen = ObservedFile{d.source_size, d.source_mtime};
  if (d.result != Result::DestNotExists && d.result != Result::DestDeleted)
    compared->target_seen = ObservedFile{d.dest_size, d.dest_mtime};
  carry_out(*action, d, source, target, bytes);
}

std::optional<PlannedAction> SyncFile::decide(FileDifference const& d) const {
  DecisionInputs in;
  in.result = d.result;
  in.flags = item.flags;
  in.moves = moves;
  in.completes_moves = completes_moves();
  in.remembered = d.base != nullptr;
  in.target_newer = d.newer(d.dest_mtime, d.source_mtime);
  if (needs_move_check(in)) in.move_completed = move_completed(d);
  return decide_action(in);
}

bool SyncFile::move_completed(FileDifference const& d) const {
  if (d.source_remote() || d.dest_remote()) {
    std::uint64_t const expected =
        item.flags.encryptTarget ? age::encrypted_size(d.source_size) : d.source_size;
    return d.dest_size == expected && !d.newer(d.source_mtime, d.dest_mtime) &&
           !d.newer(d.dest_mtime, d.source_mtime);
  }
  if (item.flags.encryptTarget) {
    auto const [equal, decided] =
        target_encryption::holds(Utilities::to_path(d.dest), Utilities::to_path(d.source));
    return equal && decided;
  }
  // An Equal with the content test has already read both files to the end.
  if (d.items.content()) return true;
  return Utilities::FilesystemUtil::files_equal(d.source, d.dest);
}

bool SyncFile::not_readable(FileDifference const& d) const {
  if (d.result != Result::SourceNotReadable && d.result != Result::DestNotReadable) return false;
  report_error(d.error_text);
  return true;
}

bool SyncFile::too_large(FileDifference const& d, std::wstring const& source) const {
  std::uint64_t const limit = item.flags.maxFileMB;
  if (limit == 0) return false;
  std::uint64_t const size = d.source_size != 0 ? d.source_size : d.dest_size;
  if (size <= (limit << 20)) return false;
  Utilities::log_at(LogLevel::Debug, L"left out, larger than the item's limit: " + source);
  return true;
}

bool SyncFile::only_time_differs(FileDifference const& d, std::wstring const& source,
                                 std::wstring const& target) const {
  if (either_remote() || d.source_size != d.dest_size) return false;
  if (d.result != Result::DestModified && !(d.result == Result::SourceModified && d.base))
    return false;
  return Utilities::FilesystemUtil::files_equal(source, target);
}

bool SyncFile::restamped(FileDifference const& d, std::wstring const& source,
                         std::wstring const& target) {
  if (!only_time_differs(d, source, target)) return false;
  if (dry_run) return true;
  bool const target_newer_side = d.result == Result::DestModified;
  std::wstring const& path = target_newer_side ? target : source;
  auto const time = target_newer_side ? d.source_mtime : d.dest_mtime;
  if (time_refused(path, Utilities::FilesystemUtil::write_time_refusal(path, time))) return true;
  Utilities::log_at(LogLevel::Info, translate("file_time_adjusted") + path);
  record_pair(key, source, target);
  return true;
}

bool SyncFile::empty_file_skipped(FileDifference const& d, PlannedAction action) const {
  if (is_deletion(action) || item.flags.syncEmptyFiles) return false;
  return (writes_to_source(action) ? d.dest_size : d.source_size) == 0;
}

void SyncFile::settle_state(FileDifference const& d) {
  if (!state || dry_run) return;
  if (d.result == Result::NeitherExists)
    state->forget(key);
  else if (d.result == Result::Equal)
    state->record(key, FileState{d.source_size, d.source_mtime, d.dest_mtime, std::nullopt});
}

bool SyncFile::carry_out(PlannedAction action, FileDifference const& d, std::wstring const& source,
                         std::wstring const& target, std::uint64_t bytes) {
  if (is_deletion(action) || item.flags.syncEmptyFiles ||
      (writes_to_source(action) ? d.dest_size : d.source_size) != 0) {
    if (!perform(action, d, source, target, bytes)) return false;
    update_state(action, source, target);
    return true;
  }
  if (writes_to_source(action))
    Utilities::log_at(LogLevel::Warning, translate("empty_target_not_copied") + target);
  else
    Utilities::log_at(LogLevel::Warning, translate("empty_source_not_copied") + source);
  return false;
}

bool SyncFile::perform(PlannedAction action, FileDifference const& d, std::wstring const& source,
                       std::wstring const& target, std::uint64_t bytes) {
  switch (action) {
    case PlannedAction::CopyToSource:
      return copy_dest_to_source(target, source, d.dest_size);
    case PlannedAction::DeleteTarget:
      return delete_target_file(source, target);
    case PlannedAction::DeleteSource:
      return delete_source_file(source, target);
    case PlannedAction::ConflictSourceWins:
    case PlannedAction::ConflictTargetWins:
      // The copies of a conflict verify against what they observe themselves.
      compared.reset();
      return resolve_conflict(action, d, source, target);
    case PlannedAction::CopyToTarget:
    case PlannedAction::MoveToTarget:
      return copy_source_to_dest(source, target, bytes);
    default:
      return false;
  }
}

void SyncFile::update_state(PlannedAction action, std::wstring const& source,
                            std::wstring const& target) {
  if (!state) return;
  if (action == PlannedAction::MoveToTarget || is_deletion(action))
    state->forget(key);
  else
    record_pair(key, source, target);
}

void SyncFile::record_pair(std::wstring const& pair_key, std::wstring const& source,
                           std::wstring const& target) {
  auto const now = [&](std::wstring const& path, Place const& side) {
    return copied_from && copied_from->first == path ? std::optional(copied_from->second)
                                                     : side.observe(path);
  };
  std::optional<ObservedFile> const source_now = now(source, source_side());
  std::optional<ObservedFile> const target_now = now(target, target_side());
  copied_from.reset();
  if (!state || !source_now || !target_now) return;
  // A time that could not be set is recorded as it stands on disk, so the next pass sees no
  // change there.
  state->record(pair_key,
                FileState{source_now->size, source_now->mtime, target_now->mtime, std::nullopt});
}

bool SyncFile::create_parent_dir(std::wstring const& path, bool on_source) {
  std::size_t const last = path.rfind(L'/');
  std::wstring const parent = last == std::wstring::npos ? std::wstring() : path.substr(0, last);
  char const* id = on_source ? "source_dir_create_error" : "target_dir_create_error";
  if (parent.empty()) return true;
  Place const& side = on_source ? source_side() : target_side();
  if (!side.remote()) return local_dir_created(parent, id);
  if (!side.make_folders(parent)) return true;
  Utilities::log_at(LogLevel::Error, translate(id), parent);
  report_sync_error(translate(id) + parent);
  return false;
}

bool SyncFile::rename_instead(PlannedAction action, FileDifference const& d,
                              std::wstring const& source, std::wstring const& target) {
  if (!state || !may_be_renamed(*state, action, d, key, item.flags)) return false;
  bool const to_target = action == PlannedAction::CopyToTarget;
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
  return only_old_name(*state, d, key, to_target);
}

bool SyncFile::old_file_moved_away(FileDifference const& d, std::wstring const& old_key,
                                   bool to_target, bool claimed) const {
  if (claimed) return true;
  OldName const old{old_key, to_target ? source_side() : target_side(),
                    side_path(old_key, !to_target), to_target ? target_side() : source_side(),
                    side_path(old_key, to_target)};
  return old_name_moved_away(*state, d, old, to_target);
}

bool SyncFile::rename_path(std::wstring const& from, std::wstring const& to, bool on_source) {
  return create_parent_dir(to, on_source) &&
         renamed_on(on_source ? source_side() : target_side(), from, to);
}

bool SyncFile::ensure_parent_dir(PlannedAction action, std::wstring const& source,
                                 std::wstring const& target) {
  bool const to_source = action == PlannedAction::CopyToSource;
  return create_parent_dir(to_source ? source : target, to_source);
}

bool SyncFile::resolve_conflict(PlannedAction action, FileDifference const& d,
                                std::wstring const& source, std::wstring const& target) {
  bool const source_wins = action == PlannedAction::ConflictSourceWins;
  std::wstring const& loser = source_wins ? target : source;
  std::wstring const& winner = source_wins ? source : target;
  Place const& winner_side = source_wins ? source_side() : target_side();
  if (!winner_side.remote() && refused(winner, Utilities::FilesystemUtil::read_refusal(winner)))
    return false;
  std::optional<std::wstring> const name = rename_to_conflict_copy(
      loser, source_wins ? target_side() : source_side(), winner, winner_side);
  if (!name) return false;
  std::wstring const counterpart = conflict_copy_counterpart(winner, *name);
  bool ok;
  bool copied;
  if (source_wins) {
    ok = copy_source_to_dest(source, target, d.source_size);
    copied = copy_dest_to_source(*name, counterpart, d.dest_size);
  } else {
    ok = copy_dest_to_source(target, source, d.dest_size);
    copied = copy_source_to_dest(*name, counterpart, d.source_size);
  }
  if (copied) {
    std::wstring const& on_source = source_wins ? counterpart : *name;
    std::wstring const& on_target = source_wins ? *name : counterpart;
    record_pair(state_key(on_source), on_source, on_target);
  }
  return ok;
}

bool SyncFile::delete_target_file(std::wstring const& source, std::wstring const& target) {
  Utilities::log_at(LogLevel::Info, translate("target_deleted_source_missing"), target,
                    translate("source_label"), source);
  return deleted(target, target_side(), "target_delete_failed");
}

bool SyncFile::delete_source_file(std::wstring const& source, std::wstring const& target) {
  Utilities::log_at(LogLevel::Info,
                    translate(completes_moves() ? "source_deleted_already_in_target"
                                                : "source_deleted_target_missing"),
                    source, translate("target_label"), target);
  return deleted(source, source_side(), "source_delete_failed");
}

}  // namespace KVO_Core
