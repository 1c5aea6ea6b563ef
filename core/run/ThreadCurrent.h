// Hands an object to code far below the one that made it, on the same thread only: the item
// run's report and the dry-run plan reach the engine's callees this way.
#pragma once

#include <utility>

namespace KVO_Core {

// Makes the object (null: none) the calling thread's current one of its type for the guard's
// life; guards nest. Does not own it.
template <typename T>
class ThreadCurrentGuard {
 public:
  explicit ThreadCurrentGuard(T* object) : previous_(std::exchange(current_, object)) {}
  ~ThreadCurrentGuard() { current_ = previous_; }
  ThreadCurrentGuard(ThreadCurrentGuard const&) = delete;
  ThreadCurrentGuard& operator=(ThreadCurrentGuard const&) = delete;

  // The object of the innermost guard on this thread; null when none.
  static T* current() { return current_; }

 private:
  static inline thread_local T* current_ = nullptr;
  T* previous_;
};

}  // namespace KVO_Core
