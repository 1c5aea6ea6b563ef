// The base of every sync job of one item run: what the jobs share (the item, the counter of
// handled entries, the dry-run flag, the roots, the state) and the operations common to them:
// state keys and side paths, guarded per-entry jobs, failure reports, directory creation and
// the once-per-condition marks of warnings and refusals.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "core/config/SyncItem.h"
#include "core/sync/Place.h"
#include "core/sync/links/LinkTally.h"
#include "core/sync/state/SyncState.h"
#include "platform/FileDescriptor.h"
#include "utilities/FailureReasons.h"

namespace KVO_Core {

class ReadAhead;

// `name` inside `directory`, joined by exactly one "/" (local and remote paths alike).
std::wstring child_path(std::wstring const& directory, std::wstring const& name);

// The folder pair a walk is in, held open so that the file jobs of its entries look a name up
// in its folder rather than along the whole path. A descriptor is closed where none is open.
struct OpenFolders {
  std::wstring const* source_dir = nullptr;
  std::wstring const* target_dir = nullptr;
  platform::FileDescriptor source;
  platform::FileDescriptor target;
};

class SyncBase {
 public:
  // Empty roots stand for the item's own source and target paths (a local one without its
  // volume spec). The counter and the state (may be null) must outlive the job. A job of one
  // entry shares the sides of the job that runs it; without them the item's own are made.
  SyncBase(SyncItem item, std::uint64_t& count, bool dry_run, SyncState* state,
           std::wstring const& source_root, std::wstring const& target_root,
           Sides const* sides = nullptr);
  virtual ~SyncBase() = default;
  SyncBase(SyncBase const&) = delete;
  SyncBase& operator=(SyncBase const&) = delete;

  // Runs the job. Per-entry failures are reported, never thrown.
  virtual void operator()() = 0;

  // The root of the side ("/" appended unless it ends with one) followed by the relative path.
  std::wstring side_path(std::wstring const& relative, bool target) const;
  // The pair's key: the path relative to the source root with "/" separators; for the root
  // itself (a file item) its last component.
  std::wstring state_key(std::wstring const& path) const;

  // Runs one file pair as a guarded per-entry job; a dry run without a plan only counts it.
  void sync_file(std::wstring const& source, std::wstring const& target,
                 std::wstring const& wildcard);
  // Runs the job and turns every exception into one Error line and one report line.
  void guarded(std::wstring const& source, std::wstring const& target,
               std::function<void()> const& job);
  // Logs and reports a file-system exception.
  void report_failure(std::wstring const& path, std::filesystem::filesystem_error const& e) const;

  // True when the path's local volume is not mounted; false for a remote path.
  bool drive_not_exist(std::wstring const& path, Place const& side) const;
  // Creates a local directory with its parents; false after reporting a failure.
  bool local_dir_created(std::wstring const& path, char const* message_id) const;
  // Makes sure a target directory exists (empty: the item's target). True in a dry run and when
  // the target's volume is not mounted (nothing is created then).
  bool create_target_dir_if_not_exist(std::wstring const& directory) const;
  // Makes sure a source directory exists (two-way items). True in a dry run.
  bool create_source_dir(std::wstring const& directory) const;

  // Deletes one file now (locally the way the settings ask); true when it is gone, false after
  // reporting the failure with the message id.
  bool deleted(std::wstring const& path, Place const& side, char const* message_id) const;

  // Deferred work and the mass-deletion guard (core/sync/state/Deletions.cpp).
  // Applies the mass-deletion rule to the pass's pending deletions with its once-per-item
  // report; true when the batch is refused (never in a dry run).
  bool deletions_refused(std::vector<PendingDeletion> const& deletions) const;
  // Takes both queues from the state and carries them out in order unless the guard refuses
  // them or a stop is requested.
  void carry_out_deferred();
  // Removes an emptied directory (rmdir only); a missing or non-empty one is left silently.
  void remove_dir_if_empty(std::wstring const& path, Place const& side) const;
  // The end of a walk: the deferred work, the link counts, the link-mode warning.
  void finish_pass();

  // Links in the walk (core/sync/links/LinkReports.cpp, core/sync/links/TargetLinks.cpp).
  // Warns once per item about each kind of link counted in the pass; empties the tally.
  void report_links();
  void report_link_count(LinkTally::Count const& count, char const* message_id) const;
  // Follow mode on a two-way or moving item, warned once while it lasts.
  void report_mode_conflict() const;
  bool target_is_link(std::wstring const& target);
  bool link_removed(std::wstring const& target);
  // Whether a file may be written at the target path (a link there is replaced only when the
  // item syncs deletions); false after reporting.
  bool target_usable(std::wstring const& target);
  // True when a link entry is left out by the exclusions or the wildcard.
  bool link_filtered(std::wstring const& name, std::wstring const& path, Place const& side,
                     bool leads_to_dir, std::wstring const& wildcard) const;
  // A local source link into a system area: counted and true.
  bool system_link_skipped(std::wstring const& source);

  // Visits the files (and links in AsLink mode) that exist only in the target directory, for
  // items that sync deletions or are two-way (core/sync/walk/TargetOnly.cpp).
  void sync_target_only_entries(std::wstring const& source_dir, std::wstring const& target_dir,
                                std::wstring const& wildcard,
                                std::set<std::wstring> const& source_names);
  // One entry of a local source directory of a directory item (core/sync/walk/SyncDir.cpp).
  void sync_dir_entry(std::filesystem::directory_entry const& entry, std::wstring const& wildcard,
                      std::wstring const& target_dir);

  // A staging name (".kvo-part") met by a walk: true, and a local one that no copy is writing
  // now (a leftover of a killed copy) is removed, outside a dry run.
  bool leftover_staging(std::wstring const& name, std::wstring const& path,
                        Place const& side) const;

  // A file name that is not valid UTF-8 cannot be named safely: such an entry of `directory`
  // is skipped with a report hint. True when the name (raw bytes) must be skipped.
  static bool skip_undecodable(std::string const& name, std::wstring const& directory);

  // Once-per-condition marks shared by every job of the process: true when the key was not
  // marked yet (the caller reports it now).
  static bool mark_refused(std::wstring const& key);
  // The condition is gone: a recurrence is reported again.
  static void clear_refused(std::wstring const& key);

  bool links_as_links() const;
  bool follows_links() const;
  bool completes_moves() const;
  bool stop_requested() const;

  bool source_remote() const;
  bool target_remote() const;
  bool either_remote() const { return source_remote() || target_remote(); }
  Place const& source_side() const { return *sides.source; }
  Place const& target_side() const { return *sides.target; }
  // The side a path of this job lies on.
  Place const& side_of(std::wstring const& path) const;
  // Logs the Error line and the report line of a failed side operation: the message id's text,
  // the path and the reason's text (none for the generic remote write reason).
  void report_side_failure(char const* message_id, PlaceFailure const& failure) const;

  SyncItem item;
  std::uint64_t& count;
  bool dry_run;
  Sides sides;  // held from the start of the item's run
  bool source_read_only = false;
  bool moves = false;  // source files are deleted after a successful copy
  SyncState* state;
  std::wstring source_root;
  std::wstring target_root;
  LinkTally tally;
  std::map<std::wstring, std::set<std::wstring>> remote_links;
  OpenFolders* folders = nullptr;   // of the walk, passed on to its file jobs
  ReadAhead* read_ahead = nullptr;  // of the item run, passed on to its file jobs; may be null
};

// The mass-deletion rule alone: at least 10 deletions that are more than half of the total.
bool mass_deletion(std::uint64_t pending, std::uint64_t total);

// " (" + the reason's text + ")"; empty for the generic remote file_info_write_error.
std::wstring known_reason(Utilities::FilesystemUtil::FileInfoResult reason);
// Reports a failed remote directory operation with its reason. Logs nothing.
void report_remote_dir(char const* message_id, PlaceFailure const& failure);

}  // namespace KVO_Core
