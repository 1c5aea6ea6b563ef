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
  // has started every stream. A directory that cannot be watched is reported with `lost`.
  Backend(ChangeWatcher& watcher, std::vector<WatchedDir> const& dirs);
  // Stops the run loop, joins the thread, then stops and releases every stream.
  ~Backend();
  Backend(Backend const&) = delete;
  Backend& operator=(Backend const&) = delete;

  // The event path (a trailing separator ignored) is the directory or directly inside it.
  static bool inside(std::string const& event_path, std::string const& directory);

 private:
  void run();
  void callback(Stream const& stream, std::vector<platform::Event> const& events);

  ChangeWatcher& watcher_;
  std::vector<std::unique_ptr<Stream>> streams_;
  platform::RunLoop run_loop_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable ready_changed_;
  bool ready_ = false;
};

}  // namespace KVO_Core
