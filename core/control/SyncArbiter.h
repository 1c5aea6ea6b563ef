// Keeps the service's passes (background role) and a front end's runs (foreground role) apart
// with two advisory flock() lock files beside the configuration. A background pass runs only
// while nobody holds the foreground lock; a foreground run waits at most 60 s for a running
// background pass. Used by one controller's worker thread only.
#pragma once

#include <atomic>
#include <filesystem>

#include "core/run/RunContext.h"
#include "platform/FileDescriptor.h"

namespace KVO_Core {

class SyncArbiter {
 public:
  explicit SyncArbiter(SyncRole role);
  ~SyncArbiter();  // release()
  SyncArbiter(SyncArbiter const&) = delete;
  SyncArbiter& operator=(SyncArbiter const&) = delete;

  // True when the caller may run its pass (at once when already held); false when `stop` ended
  // the wait. Never blocks on a lock: it polls every 200 ms.
  bool acquire(std::atomic<bool> const& stop);
  // Drops and closes the own lock when held; otherwise nothing.
  void release();
  // Opens the own lock file and tries to lock it; a lock held elsewhere gives a Warning.
  void publish_active();
  // Drops and closes the own lock if a descriptor is open; `held` stays.
  void withdraw_active();
  // Whether someone holds the other role's lock.
  bool other_side_active() const;
  bool held() const { return held_; }

  // Switches the whole process to lock names in the temporary folder (tests).
  static void use_private_scope();
  // The lock file of a role in the current scope.
  static std::filesystem::path lock_path(SyncRole role);

  // Poll interval and the foreground's give-up time (tests shorten them).
  static void set_timing(std::chrono::milliseconds poll, std::chrono::milliseconds give_up);

 private:
  // Whether the own descriptor holds the lock.
  bool try_lock_own();

  SyncRole role_;
  bool held_ = false;
  platform::FileDescriptor fd_;
  bool own_locked_ = false;
  bool warned_own_taken_ = false;
};

}  // namespace KVO_Core
