#include "core/sync/ItemRun.h"

#include <memory>

#include "core/cloud/gdrive/GoogleDrive.h"
#include "core/config/StateLocation.h"
#include "core/config/VolumeName.h"
#include "core/run/SyncReport.h"
#include "core/sync/PathNames.h"
#include "core/sync/Refusals.h"
#include "core/sync/SyncFile.h"
#include "core/sync/decide/ReadAhead.h"
#include "core/sync/decide/SettledPairs.h"
#include "core/sync/decide/SyncPlan.h"
#include "core/sync/state/SyncStateFile.h"
#include "core/sync/state/VolumeSync.h"
#include "core/sync/walk/RootOverlap.h"
#include "core/sync/walk/SyncDir.h"
#include "core/sync/walk/SyncTree.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

using Utilities::LogLevel;
using Utilities::translation::translate;

namespace {

bool remote(std::unique_ptr<SyncPath> const& side) { return side && side->kind == SyncPath::Ssh; }

bool missing(std::filesystem::path const& p) {
  std::error_code ec;
  auto const status = std::filesystem::status(p, ec);
  return status.type() == std::filesystem::file_type::none ||
         status.type() == std::filesystem::file_type::not_found;
}

// Writes a changed lasting state when the run ends, also by an exception.
class SyncStateKeeper {
 public:
  SyncStateKeeper(std::filesystem::path file, bool persist)
      : file_(std::move(file)), persist_(persist) {}
  ~SyncStateKeeper() {
    if (!persist_ || !state || !state->changed) return;
    // Without the new files' data on disk, the state as it was stays: the next pass then
    // compares those pairs afresh instead of trusting what it would remember of them.
    std::wstring failure;
    if (!sync_volumes_of(state->unsynced_folders, failure)) {
      Utilities::log_at(Utilities::LogLevel::Error, failure);
      return;
    }
    write_sync_state(file_, *state);
  }
  SyncStateKeeper(SyncStateKeeper const&) = delete;
  SyncStateKeeper& operator=(SyncStateKeeper const&) = delete;

  std::filesystem::path const& file() const { return file_; }
  std::optional<SyncState> state;

 private:
  std::filesystem::path file_;
  bool persist_;
};

// Local roots that overlap are refused before anything is read or written.
bool overlapping(SyncItem const& item, bool target_is_dir) {
  if (remote(item.source()) || remote(item.target()) || !item.source() || !item.target())
    return false;
  std::wstring const source = without_volume_spec(item.source()->path());
  std::wstring const target = without_volume_spec(item.target()->path());
  bool overlap = false;
  if (item.type == SyncItemType::File) {
    std::wstring const file =
        target_is_dir ? Utilities::util::with_trailing_char(target, L'/') + entry_name_of(source)
                      : target;
    overlap = source == file || same_file(Utilities::to_path(source), Utilities::to_path(file));
  } else {
    overlap = roots_overlap(Utilities::to_path(source), Utilities::to_path(target));
  }
  if (!overlap) return false;
  report_error(translate("sync_roots_overlap", {item.name, source, target}));
  return true;
}

bool file_target_is_dir(SyncItem const& item, ItemRunOptions const& options,
                        Place const& target_side) {
  if (!item.target()) return false;
  if (target_side.remote()) {
    std::wstring const path = item.target()->path();
    return options.remote_target_dir ? options.remote_target_dir(path)
                                     : target_side.folder(path) == FolderPresence::Present;
  }
  std::error_code ec;
  return std::filesystem::is_directory(
      Utilities::to_path(without_volume_spec(item.target()->path())), ec);
}

}  // namespace

StateMode state_mode(SyncItem const& item, SyncType type) {
  if (type == SyncType::Count) return StateMode::None;
  if (item.flags.twoWaySync || item.flags.trackMoves) return StateMode::Lasting;
  if (item.flags.syncDeletions) return StateMode::DeletionsOnly;
  return StateMode::None;
}

bool target_vanished(SyncItem const& item) {
  if (!item.target()) return false;
  std::shared_ptr<Place const> const side = place_of(item, item.target());
  if (side->remote()) {
    if (item.type == SyncItemType::File) return false;
    // A server that cannot be asked says nothing about the folder: the state stays.
    return side->folder(item.target()->path()) == FolderPresence::Absent;
  }
  std::wstring tested = without_volume_spec(item.target()->path());
  if (item.type == SyncItemType::File && item.source() &&
      entry_name_of(tested) == entry_name_of(item.source()->path())) {
    std::size_t const last = tested.rfind(L'/');
    tested = last == std::wstring::npos ? std::wstring(L".") : tested.substr(0, last);
  }
  return missing(Utilities::to_path(tested));
}

ItemRunResult run_item(SyncItem const& item, std::uint64_t& file_count,
                       ItemRunOptions const& options) {
  // Folders another client changed since the last run are looked up again.
  google_drive::forget_folder_ids();
  ItemRunResult result;
  StateMode const mode = state_mode(item, options.type);
  bool const persist = mode == StateMode::Lasting &&
                       (options.type == SyncType::Once || options.type == SyncType::Continuous);
  bool const dry_run = options.type == SyncType::Count || options.type == SyncType::Preview;
  Sides const sides = sides_of(item);
  bool const target_is_dir =
      item.type == SyncItemType::File && file_target_is_dir(item, options, *sides.target);
  if (overlapping(item, target_is_dir)) return result;

  std::wstring const source = side_text(item.source());
  std::wstring const target = side_text(item.target());
  SyncStateKeeper keeper(options.state_file.empty() ? sync_state_file_path(sync_state_dir(), item)
                                                    : options.state_file,
                         persist);
  if (mode == StateMode::Lasting) {
    keeper.state = read_sync_state(keeper.file(), source, target);
    if (item.flags.twoWaySync && keeper.state && !keeper.state->entries.empty() &&
        target_vanished(item)) {
      std::wstring const text = translate("target_dir_vanished", {item.name, target});
      Utilities::log_at(LogLevel::Warning, text);
      RunContext::note(LogLevel::Warning, text);
      keeper.state.emplace(source, target);
    }
  }
  if (mode != StateMode::None && !keeper.state) {
    keeper.state.emplace(source, target);
    keeper.state->deletions_only = mode == StateMode::DeletionsOnly;
  }
  if (keeper.state && options.mass_deletion_confirmed) keeper.state->mass_deletion_confirmed = true;
  SyncState* const state = keeper.state ? &*keeper.state : nullptr;

  std::unique_ptr<SyncBase> job;
  switch (item.type) {
    case SyncItemType::File:
      job = std::make_unique<SyncFile>(item, file_count, dry_run, target_is_dir, state, L"", L"",
                                       &sides);
      break;
    case SyncItemType::Tree:
      job = std::make_unique<SyncTree>(item, file_count, dry_run, state, &sides);
      break;
    case SyncItemType::Directory:
      job = std::make_unique<SyncDir>(item, file_count, dry_run, state, &sides);
      break;
    default: {
      // Directory and tree walks are not part of this engine yet: the item is reported, and its
      // state is left exactly as it was.
      report_error(translate("sync_item_type_not_runnable") + item.name);
      return result;
    }
  }
  result.ran = true;
  // Outlives the job: its workers end before the pass is judged complete.
  std::optional<ReadAhead> ahead;
  if (reads_ahead(item, sides, !dry_run || planning())) {
    ahead.emplace();
    job->read_ahead = &*ahead;
  }
  (*job)();
  job.reset();
  ahead.reset();

  // A pass that was stopped or given up did not meet every entry: forget nothing then.
  bool const complete =
      !RunContext::stopping() && !sync_abandoned() && !(options.abort && options.abort->load());
  if (state && complete) state->forget_unseen();
  if (complete) SettledPairs::instance().sweep(item.name);
  if (state && !state->deletions_only) result.state_entries = state->entries.size();
  return result;
}

}  // namespace KVO_Core
