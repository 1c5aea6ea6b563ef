// File-system change streams on inotify. A stream watches one directory (with or without every
// folder below it) and hands batches of change events to its callback on the thread that runs
// the run loop it is scheduled on. Only changes are reported: creation, deletion, writes,
// close-after-write, attribute changes and moves, never reads or opens.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class RunLoop;

// Bits of Event::flags.
enum EventFlag : std::uint32_t {
  kEventsLost = 1u << 0,   // the kernel's queue overflowed: changes anywhere may be missing
  kRootChanged = 1u << 1,  // the root was deleted, moved or unmounted, or appeared again
  kWatchLost = 1u << 2,    // the stream lost its watches for good (the watch limit was reached)
  kCoalesced = 1u << 3,    // too many events in one batch: they were merged into this one
  kCreated = 1u << 8,
  kRemoved = 1u << 9,
  kModified = 1u << 10,  // written, or closed after writing
  kAttributes = 1u << 11,
  kRenamed = 1u << 12,  // moved out of or into the folder that holds it
  kIsDirectory = 1u << 13,
};

struct Event {
  std::string path;  // absolute, below or equal to the stream's root; the root for bits 0..3
  std::uint32_t flags = 0;
};

class EventStream;
// Called on the run loop's thread. It must not call the stream's or the loop's functions
// (RunLoop::stop excepted).
using EventCallback = std::function<void(EventStream const& stream, std::vector<Event> const&)>;

class EventStream {
 public:
  // A stream for the directory `root` (absolute, canonical: no links are followed below it).
  // The first event after a quiet spell is delivered at once; later ones are gathered until
  // `latency` has passed since the last delivery. Null when root is not absolute or the
  // callback is empty.
  static std::unique_ptr<EventStream> create(std::filesystem::path const& root,
                                             std::chrono::milliseconds latency, bool recursive,
                                             EventCallback callback);
  // Stops and invalidates when still needed. The loop must still exist then.
  ~EventStream();
  EventStream(EventStream const&) = delete;
  EventStream& operator=(EventStream const&) = delete;

  // Attaches the stream to a loop (once; a second call does nothing).
  void schedule(RunLoop& loop);
  // Begins watching: true when the root (and, when recursive, the folders below it that can be
  // read) is watched. False when not scheduled, when the root is not a directory that can be
  // watched, or when the watch limit is reached; nothing is then watched.
  bool start();
  // Ends watching and drops undelivered events; start may be called again.
  void stop();
  // Detaches the stream from its loop; after it returns no callback of the stream runs.
  void invalidate();

  std::filesystem::path const& root() const { return root_; }
  bool recursive() const { return recursive_; }

 private:
  EventStream(std::filesystem::path root, std::chrono::milliseconds latency, bool recursive,
              EventCallback callback);

  std::filesystem::path root_;
  std::chrono::milliseconds latency_;
  bool recursive_;
  EventCallback callback_;
  RunLoop* loop_ = nullptr;
  std::uint64_t id_ = 0;
};

}  // namespace platform
