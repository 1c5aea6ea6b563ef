// The watcher's event service: one event stream per watched directory, all on one run loop
// whose thread stamps the watcher's entries.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/control/ChangeWatcher.h"
#include "platform/EventStream.h"
#include "platform/RunLoop.h"

namespace KVO_Core {

class ChangeWatcher::Backend {
 public:
  struct Stream {
    ChangeWatcher& watcher;
    std::wstring key;
    std::string path;  // canonical
    bool recursive;
    std::unique_ptr<platform::EventStream> stream;
  };

  // Creates the streams and, when there is one, starts the event thread and returns once it
  // has started every stream. A directory that cannot be watched is reported with `lost`; one
  // that does not exist (yet) with `missing`, and it waits for `resume`.
  Backend(ChangeWatcher& watcher, std::vector<WatchedDir> const& dirs);
  // Stops the run loop, joins the thread, then stops and releases every stream.
  ~Backend();
  Backend(Backend const&) = delete;
  Backend& operator=(Backend const&) = delete;

  // Starts watching the waiting directories of `key` that are directories now (one whose stream
  // fails is reported with `lost` and waits no more). True when none of them waits any longer.
  // Called by the worker thread only.
  bool resume(std::wstring const& key);

  // The event path (a trailing separator ignored) is the directory or directly inside it.
  static bool inside(std::string const& event_path, std::string const& directory);

 private:
  // The stream record for a directory; its stream is null when it cannot be created.
  std::unique_ptr<Stream> make_stream(WatchedDir const& dir, std::string const& canonical);
  void start_thread();
  void run();
  void callback(Stream const& stream, std::vector<platform::Event> const& events);

  ChangeWatcher& watcher_;
  std::vector<std::unique_ptr<Stream>> streams_;
  std::vector<WatchedDir> waiting_;  // missing when watching began
  platform::RunLoop run_loop_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable ready_changed_;
  bool ready_ = false;
};

}  // namespace KVO_Core
