// A process-wide set of keys of conditions that are reported once while they last.
#pragma once

#include <mutex>
#include <set>
#include <string>

namespace KVO_Core {

class ReportedOnce {
 public:
  // True when the key was not in the set (the caller reports the condition now).
  bool insert(std::wstring const& key) {
    std::lock_guard lock(mutex_);
    return keys_.insert(key).second;
  }
  // The condition is gone; a recurrence is reported again.
  void erase(std::wstring const& key) {
    std::lock_guard lock(mutex_);
    keys_.erase(key);
  }

 private:
  std::mutex mutex_;
  std::set<std::wstring> keys_;
};

}  // namespace KVO_Core
