// The engine run of one item that passed the controller's checks: the item's state mode, reading
// and writing its sync state file, the reset after a vanished two-way target, the job for the
// item's type, and forgetting the entries a complete pass did not meet.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "core/config/SyncItem.h"
#include "core/run/RunContext.h"

namespace KVO_Core {

enum class StateMode : int { None = 0, Lasting = 1, DeletionsOnly = 2 };

// Lasting for two-way items and items that track moves, deletions-only for other items with
// syncDeletions, none otherwise and always in a counting pass.
StateMode state_mode(SyncItem const& item, SyncType type);

struct ItemRunOptions {
  SyncType type = SyncType::Once;
  bool mass_deletion_confirmed = false;
  // The controller's abort flag; a run that sees it set forgets no state entry.
  std::atomic<bool> const* abort = nullptr;
  // The item's state file; empty: its file in the state folder beside the configuration.
  std::filesystem::path state_file;
  // Whether a remote target path is a folder (the controller caches the answers); empty: asked
  // afresh every time.
  std::function<bool(std::wstring const&)> remote_target_dir;
};

struct ItemRunResult {
  bool ran = false;                            // a job ran (false: refused before the pass)
  std::optional<std::uint64_t> state_entries;  // entries of a lasting state after the run
};

// Runs the item's job on the calling thread with its state; reports into the thread's report.
// Roots that overlap are refused with one report line and nothing is touched.
ItemRunResult run_item(SyncItem const& item, std::uint64_t& file_count,
                       ItemRunOptions const& options);

// The target of a two-way item is gone (remote: not a folder; never for a remote file item).
bool target_vanished(SyncItem const& item);

}  // namespace KVO_Core
