// The controller: its lifecycle and what a front end reads of its passes. The stop test and the
// progress channel it inherits from the run context; it is the sink of that progress while it
// lives.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/control/CheckPath.h"
#include "core/run/RunContext.h"
#include "core/sync/decide/SyncPlan.h"
#include "utilities/Logging.h"
#include "utilities/ThreadSaveStack.h"

namespace KVO_Core {

class ChangeWatcher;
class SyncArbiter;
class SyncItem;
struct SyncReport;
struct LastRun;
class SyncControler;  // a front end's handle; only stored and handed back

// An item reported unreachable, kept for a front end.
struct UnreachableItem {
  std::wstring name;
  std::wstring text;
  bool warn = false;
};

// The controller: at most one exists; its worker thread runs passes over the configured items.
// The progress services below reach it through the sink it installs while it lives.
class Synchronize : public RunContext, private ProgressSink {
 public:
  // The progress note of the run context, not the sink's one below.
  using RunContext::note;

  // Lifecycle. create, destroy and a caller's test-then-create are serialised by one process-wide
  // lock. create makes and publishes a controller and starts its worker; it never replaces a live
  // one (null then). destroy stops, joins and deletes the current controller; destroy(mine) only
  // when it is still the current one (false otherwise).
  static Synchronize* create(SyncType type, SyncControler* controler, SyncRole role,
                             bool mass_deletion_confirmed, std::string const& device_id);
  static void destroy();
  static bool destroy(Synchronize* mine);
  static bool has_instance();
  // The current controller; std::runtime_error ("no_sync_active") when none exists.
  static Synchronize& instance();
  // Asks the current controller to end its passes (no join) and sets the stop flag.
  static void stop();
  // Ends the current controller's wait between passes at once; nothing without one.
  static void wake();
  // A controller exists and its worker has ended (after one pass, or after an exception).
  static bool instance_finished();

  ~Synchronize() override;
  Synchronize(Synchronize const&) = delete;
  Synchronize& operator=(Synchronize const&) = delete;

  // For a front end: the newest progress message (older ones dropped; empty when none), bytes of
  // the current file, files handled, notes, unreachable reports and the dry-run plan. Read them
  // only after the worker finished, except the first three.
  SyncMessage get_message();
  std::uint64_t copied_bytes() const { return copied_.load(); }
  std::uint64_t count_files() const { return file_count_; }
  bool has_controler() const { return controler_ != nullptr; }
  SyncControler* sync_controler() const { return controler_; }
  bool finished() const { return finished_.load(); }
  SyncType type() const { return type_.load(); }
  std::vector<Utilities::LogMessage> const& notes() const { return notes_; }
  std::vector<UnreachableItem> const& unreachable_items() const { return unreachable_; }
  SyncPlan const& plan() const { return plan_; }
  // The file status of the path is neither none nor not found.
  bool path_exists(std::wstring const& path) const;

  // The worker's body.
  void operator()();

 private:
  Synchronize(SyncType type, SyncControler* controler, SyncRole role, bool mass_deletion_confirmed,
              std::string device_id);

  // ProgressSink, for the worker's callees.
  void copied_bytes(std::uint64_t bytes) override;
  void progress_message(std::wstring const& text, std::wstring const& detail,
                        std::uint64_t bytes) override;
  void note(Utilities::LogLevel level, std::string const& text) override;

  void pass_aborted(std::wstring const& text);
  void add_note(Utilities::LogLevel level, std::wstring const& text);
  void wait_between_passes();
  void watch_items();

  // One pass and one item.
  void sync_items();
  void sync_item(SyncItem const& item);
  bool due(SyncItem const& item);
  bool pause_elapsed(SyncItem const& item);
  static bool device_item(SyncItem const& item, std::string& account);
  void report_sync_item(SyncItem const& item);
  void run_sync_item(SyncItem const& item);
  void report_unreachable(SyncItem const& item);
  bool write_protected(SyncItem const& item);
  void report_protected(char const* message_id, std::wstring const& path);
  LastRun last_run_of(SyncItem const& item, SyncReport const& report) const;
  void run_reachable_item(SyncItem const& item);
  bool is_ssh_target_dir(std::wstring const& path);
  void prune_generations(SyncItem const& item);

  struct GenerationsPruned {
    std::uint16_t max_generations = 0;
    std::chrono::steady_clock::time_point when;
  };
  struct SshTargetDirCacheEntry {
    bool is_dir = false;
    std::chrono::steady_clock::time_point when;
  };

  std::atomic<SyncType> type_;
  std::uint64_t file_count_ = 0;
  SyncControler* controler_;
  std::thread worker_;
  std::atomic<bool> abort_{false};
  Utilities::ThreadSaveStack<SyncMessage> messages_;
  std::atomic<std::uint64_t> copied_{0};
  CheckPath check_path_;
  std::mutex mutex_;
  std::condition_variable wakeup_;
  bool woken_ = false;  // under mutex_: a wake-up not yet consumed by the wait
  SyncRole role_;
  bool mass_deletion_confirmed_;
  std::unique_ptr<SyncArbiter> arbiter_;
  SyncPlan plan_;
  std::vector<UnreachableItem> unreachable_;
  std::vector<Utilities::LogMessage> notes_;
  std::string device_id_;
  std::atomic<bool> finished_{false};
  std::map<std::wstring, SshTargetDirCacheEntry> ssh_target_dirs_;
  std::map<std::wstring, bool> reachable_;
  std::map<std::wstring, std::uint64_t> state_entries_;
  std::map<std::wstring, GenerationsPruned> pruned_;
  // Declared last: released first, after the worker was joined.
  std::unique_ptr<ChangeWatcher> watcher_;

  static std::atomic<Synchronize*> this_;
};

}  // namespace KVO_Core
