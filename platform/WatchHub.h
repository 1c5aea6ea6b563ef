// Inside of the run loop: the inotify descriptor, the table of watches (one per watched folder,
// shared by every stream that needs it and removed when the last one lets go) and the state of
// each stream. Every member takes the hub's lock; callbacks run under it.
#pragma once

#include <sys/inotify.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/EventStream.h"
#include "platform/FileDescriptor.h"

namespace platform::detail {

using Clock = std::chrono::steady_clock;

class WatchHub {
 public:
  WatchHub();
  ~WatchHub();
  WatchHub(WatchHub const&) = delete;
  WatchHub& operator=(WatchHub const&) = delete;

  // The inotify descriptor (non-blocking); -1 when it could not be opened.
  int fd() const { return fd_.get(); }

  std::uint64_t add_stream(EventStream const& owner, std::string root, Clock::duration latency,
                           bool recursive, EventCallback callback);
  bool start(std::uint64_t id);
  void stop(std::uint64_t id);
  void remove(std::uint64_t id);

  // Reads and handles every queued inotify event.
  void read_events();
  // Looks at the roots once a second and delivers the batches that are due.
  void tick();
  // When tick next has something to do.
  Clock::time_point next_deadline();

 private:
  struct Watch {
    std::string path;
    std::set<std::uint64_t> users;
  };
  struct Stream {
    EventStream const* owner = nullptr;
    std::string root;
    Clock::duration latency{};
    bool recursive = false;
    EventCallback callback;
    bool started = false;
    bool searching = false;  // root gone: looked for again by path
    bool lost = false;       // watch limit reached: silent for good
    int root_wd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    std::set<int> wds;
    std::vector<Event> pending;
    bool coalesced = false;
    std::optional<Clock::time_point> due;
    std::optional<Clock::time_point> last_delivery;
  };
  enum class Added { Yes, Skipped, Limit };

  Added add_watch(std::uint64_t id, Stream& s, std::string const& dir);
  // Watches `dir` and, for a recursive stream, every folder below it (links not followed).
  // False when the watch limit was reached.
  bool watch_tree(std::uint64_t id, Stream& s, std::string const& dir);
  void release(std::uint64_t id, Stream& s, int wd);
  void release_all(std::uint64_t id, Stream& s);
  void release_below(std::uint64_t id, Stream& s, std::string const& dir);
  bool attach_root(std::uint64_t id, Stream& s);
  void root_gone(std::uint64_t id, Stream& s);
  void watch_limit_reached(std::uint64_t id, Stream& s);
  void queue(Stream& s, Event event);
  void handle(::inotify_event const& ev, bool& overflowed);
  void check_roots(Clock::time_point now);
  void deliver(Clock::time_point now);

  std::mutex mutex_;
  FileDescriptor fd_;
  std::uint64_t next_id_ = 1;
  std::map<std::uint64_t, Stream> streams_;
  std::map<int, Watch> watches_;
  Clock::time_point next_root_check_;
};

}  // namespace platform::detail
