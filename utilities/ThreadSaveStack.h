// A last-in-first-out stack that several threads may push to and pop from; every operation takes
// the stack's own mutex.
#pragma once

#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

namespace Utilities {

// Thrown when the stack is popped empty.
class EmptyStack : public std::exception {
 public:
  char const* what() const noexcept override { return "empty stack"; }
};

template <typename T>
class ThreadSaveStack {
 public:
  void push(T const& value) {
    std::lock_guard lock(mutex_);
    items_.push_back(value);
  }
  // Copies the newest element into `out` and removes it; EmptyStack (stack unchanged) when empty.
  void pop(T& out) {
    std::lock_guard lock(mutex_);
    if (items_.empty()) throw EmptyStack();
    out = items_.back();
    items_.pop_back();
  }
  // The newest element as a new shared object, removed from the stack; EmptyStack when empty.
  std::shared_ptr<T> pop() {
    std::lock_guard lock(mutex_);
    if (items_.empty()) throw EmptyStack();
    auto result = std::make_shared<T>(items_.back());
    items_.pop_back();
    return result;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }
  bool empty() const { return size() == 0; }
  // Keeps only the newest `count` elements (a reader that only wants the newest bounds the stack).
  void keep_newest(std::size_t count) {
    std::lock_guard lock(mutex_);
    while (items_.size() > count) items_.pop_front();
  }

 private:
  mutable std::mutex mutex_;
  std::deque<T> items_;
};

}  // namespace Utilities
