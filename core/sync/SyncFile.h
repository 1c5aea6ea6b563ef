// The job of one file pair: compare it, decide what to do, and carry the action out (or, in a
// dry run, plan it). It is the whole job of a file item and the per-entry job of the walks.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "core/run/CopyResult.h"
#include "core/sync/SyncBase.h"
#include "core/sync/decide/FileDifference.h"
#include "core/sync/decide/PlannedAction.h"
#include "core/sync/transfer/CopyFailure.h"
#include "core/sync/transfer/StagedCopy.h"
#include "utilities/FailureReasons.h"

namespace KVO_Core {

class Staging;

class SyncFile : public SyncBase {
 public:
  // What the pair looked like when it was compared; the transfer checks against it.
  struct Compared {
    std::wstring source;
    std::wstring target;
    std::optional<ObservedFile> source_seen;
    std::optional<ObservedFile> target_seen;
  };

  // target_is_dir (file items only): the file keeps its name inside the target folder.
  SyncFile(SyncItem item, std::uint64_t& count, bool dry_run, bool target_is_dir, SyncState* state,
           std::wstring const& source_root, std::wstring const& target_root,
           Sides const* sides = nullptr);

  // Runs the pair; nothing escapes (failures are logged and reported).
  void operator()() override;

  void sync_difference(FileDifference const& d, std::wstring const& source,
                       std::wstring const& target, std::uint64_t bytes);
  // The decision table; none leaves the pair alone.
  std::optional<PlannedAction> decide(FileDifference const& d) const;

  bool not_readable(FileDifference const& d) const;
  bool too_large(FileDifference const& d, std::wstring const& source) const;
  bool restamped(FileDifference const& d, std::wstring const& source, std::wstring const& target);
  bool only_time_differs(FileDifference const& d, std::wstring const& source,
                         std::wstring const& target) const;
  bool empty_file_skipped(FileDifference const& d, PlannedAction action) const;
  void settle_state(FileDifference const& d);
  FileState const* file_base() const;
  // A move whose copy is done may delete its source only when the target holds the same
  // content: compared locally, by size and time within the tolerance remotely.
  bool move_completed(FileDifference const& d) const;

  bool carry_out(PlannedAction action, FileDifference const& d, std::wstring const& source,
                 std::wstring const& target, std::uint64_t bytes);
  bool perform(PlannedAction action, FileDifference const& d, std::wstring const& source,
               std::wstring const& target, std::uint64_t bytes);
  void update_state(PlannedAction action, std::wstring const& source, std::wstring const& target);
  // Records the pair as both sides are now; nothing when a side is missing.
  void record_pair(std::wstring const& key, std::wstring const& source, std::wstring const& target);
  bool create_parent_dir(std::wstring const& path, bool on_source);

  // Renames (over the tests of core/sync/decide/Renames.h) and deferred deletions
  // (core/sync/state/DeferredDeletion.cpp). True when the new name was handled as a rename of a
  // vanished old one.
  bool rename_instead(PlannedAction action, FileDifference const& d, std::wstring const& source,
                      std::wstring const& target);
  // The state key of the only possible old name; none when there is none or more than one.
  std::optional<std::wstring> rename_candidate(FileDifference const& d, bool to_target) const;
  // The old name is gone where the rename happened and unchanged on the other side.
  bool old_file_moved_away(FileDifference const& d, std::wstring const& old_key, bool to_target,
                           bool claimed) const;
  // Renames without replacing anything at `to`; false (the caller copies) on any failure.
  bool rename_path(std::wstring const& from, std::wstring const& to, bool on_source);
  // The parent folder of the side the action writes.
  bool ensure_parent_dir(PlannedAction action, std::wstring const& source,
                         std::wstring const& target);
  // Puts a deletion off to the end of the pass (items with a state, not file items).
  bool defer_deletion(PlannedAction action, FileDifference const& d, std::wstring const& source,
                      std::wstring const& target);
  // Carries out one deletion put off in this pass, only when the file is still as classified.
  void carry_out_deferred(PendingDeletion const& deletion);
  bool delete_target_file(std::wstring const& source, std::wstring const& target);
  bool delete_source_file(std::wstring const& source, std::wstring const& target);

  // Transfers (core/sync/transfer/FileTransfer.cpp). True when the destination now holds the
  // content of the file copied; on any failure the old destination is left as it was and the
  // failure is reported. bytes is the size of the file copied as compared.
  bool copy_source_to_dest(std::wstring const& source, std::wstring const& target,
                           std::uint64_t bytes);
  bool copy_dest_to_source(std::wstring const& from, std::wstring const& to, std::uint64_t bytes);
  // True (after reporting target_file_changed) when the destination changed since the comparison.
  bool target_changed(std::wstring const& destination) const;
  // What the comparison saw of the path; null without a record or for another path.
  std::optional<ObservedFile> const* seen(std::wstring const& path) const;
  // Reports a time that could not be set (unsupported_operation as a hint); true when it was
  // refused.
  bool time_refused(std::wstring const& path, Utilities::FilesystemUtil::FileInfoResult reason);

  // Transfer stages (core/sync/transfer/FileTransfer.cpp and its neighbours).
  // Makes the old remote destination its next generation where the item keeps them and gives
  // that name; throws SyncException when that cannot be done. Local destinations are handled at
  // placement.
  std::optional<std::wstring> pre_copy(std::wstring const& destination);
  // Copies, verifies and places the file; back: a copy onto the source side, whose time is set
  // with retries and read back. False after reporting; the old destination is then unchanged.
  bool save_copy_file(std::wstring const& from, std::wstring const& to, bool back);
  // 0 when the copy at `to` is good, else 26 (source changed), 29 (size) or 30 (content).
  Utilities::FilesystemUtil::FileInfoResult copy_fault(
      std::wstring const& from, std::wstring const& to,
      std::optional<ObservedFile> const& source_seen) const;
  // 0, 29 or 30 for an encrypted local copy; one that no identity can open passes.
  Utilities::FilesystemUtil::FileInfoResult encrypted_copy_fault(std::wstring const& from,
                                                                 std::wstring const& to) const;
  // Moves the bytes of from onto to (a name nothing else uses) between the two sides, encrypting
  // them where the item asks; Failed leaves its reason in failure.
  CopyResult transfer(Place const& from_side, std::wstring const& from, Place const& to_side,
                      std::wstring const& to);
  // Gives to the permission bits of from (written at onto, to by default), keeping OpenRights.
  void carry_rights(std::wstring const& from, std::wstring const& to) const;
  void carry_rights(std::wstring const& from, std::wstring const& to,
                    std::wstring const& onto) const;
  // The same onto the open staging file of a local copy, with the source's rights as opened.
  void carry_rights(std::wstring const& to, std::wstring const& onto, StagedCopy const& copy) const;

  // Refusals and reports of transfers (core/sync/transfer/TransferFailures.cpp). Each is true
  // (after logging and reporting) when the copy must not go on.
  bool refused(std::wstring const& path, Utilities::FilesystemUtil::FileInfoResult reason) const;
  bool read_refused(std::wstring const& path) const;
  bool copy_refused(std::wstring const& from, std::wstring const& to, std::uint64_t bytes) const;
  bool space_short(std::wstring const& to, std::uint64_t needed) const;
  void report_failed_copy(std::wstring const& from, std::wstring const& to) const;

  // Conflict copies (the names and the rename in core/sync/decide/ConflictCopy.h): true when the
  // winner now holds the pair's name on the losing side; the loser survives under its
  // conflict-copy name on both sides.
  bool resolve_conflict(PlannedAction action, FileDifference const& d, std::wstring const& source,
                        std::wstring const& target);

  bool target_is_dir;
  std::wstring key;
  std::optional<Compared> compared;
  std::set<std::wstring> time_unkept;
  CopyFailure failure;  // why the last copy failed
  // The source of the last copy as its verification found it: what record_pair keeps for that
  // path, rather than a later stat that may see a change made after the copy.
  std::optional<std::pair<std::wstring, ObservedFile>> copied_from;

 private:
  // The local source as the read check opened it, handed on to the copy that follows.
  mutable std::optional<std::pair<std::wstring, StagedCopy>> opened_source;

  bool guarded_copy(std::wstring const& from, std::wstring const& to, bool back);
  // The verified staging file becomes the destination: rights and time, data synced when it
  // replaces a file, the old one parked as its generation, one rename.
  bool publish_staged(std::wstring const& from, std::wstring const& to, Staging& staging,
                      std::optional<ObservedFile> const& source_seen, bool back);
  // target_changed for a local destination; a destination still missing costs one stat and
  // writes no line.
  bool changed_while_staging(std::wstring const& destination, bool lstat_found = true) const;
  bool changed_since(std::optional<ObservedFile> const& before, std::wstring const& destination,
                     std::optional<ObservedFile> const& now) const;
  // Renames the staging file onto a destination that is still missing; a file that arrived
  // there meanwhile is kept and the copy refused.
  bool placed_new(std::wstring const& from, std::wstring const& to, Staging& staging);
  // A file placed without a data sync: its folder's file system is synced before the state.
  void note_unsynced(std::wstring const& placed) const;
  // 26 when the source no longer has the size and time seen, else 0.
  Utilities::FilesystemUtil::FileInfoResult source_change(
      std::wstring const& from, std::optional<ObservedFile> const& source_seen) const;
  void report_verification_fault(std::wstring const& from, std::wstring const& to,
                                 Utilities::FilesystemUtil::FileInfoResult fault) const;
  std::uint64_t size_to_copy(std::wstring const& from) const;
};

}  // namespace KVO_Core
