// The loop that runs the event streams scheduled on it: one inotify descriptor shared by all of
// them, watches shared between streams that watch the same folder, and one thread (the one in
// run) on which every callback is delivered. A deleted or moved root is looked for again by its
// path once a second.
#pragma once

#include <atomic>
#include <memory>

#include "platform/FileDescriptor.h"

namespace platform {

namespace detail {
class WatchHub;
}

class RunLoop {
 public:
  // Opens the inotify descriptor; when that fails every stream's start fails.
  RunLoop();
  ~RunLoop();
  RunLoop(RunLoop const&) = delete;
  RunLoop& operator=(RunLoop const&) = delete;

  // Delivers events until stop is called, from any thread; returns at once when stop came
  // before. Call on one thread at a time.
  void run();
  // Safe from any thread and from callbacks; lasting: a later run returns at once.
  void stop();

  detail::WatchHub& hub() { return *hub_; }

 private:
  std::unique_ptr<detail::WatchHub> hub_;
  FileDescriptor wake_fd_;
  std::atomic<bool> stopped_{false};
};

}  // namespace platform
