#include "core/control/ChangeWatcherBackend.h"

#include <chrono>
#include <filesystem>
#include <system_error>

namespace KVO_Core {
namespace {

// The first event of a burst comes at once, further ones are gathered for a second; the due
// rule's two seconds then let the burst settle.
constexpr std::chrono::milliseconds LATENCY{1000};

}  // namespace

ChangeWatcher::Backend::Backend(ChangeWatcher& watcher, std::vector<WatchedDir> const& dirs)
    : watcher_(watcher) {
  for (WatchedDir const& dir : dirs) {
    std::error_code ec;
    std::filesystem::path const canonical = std::filesystem::canonical(dir.path, ec);
    if (ec || !std::filesystem::is_directory(canonical, ec)) {
      watcher_.lost(dir.key, dir.path);
      continue;
    }
    auto record = std::make_unique<Stream>(
        Stream{watcher_, dir.key, canonical.string(), dir.recursive, nullptr});
    Stream const* raw = record.get();
    record->stream = platform::EventStream::create(
        canonical, LATENCY, dir.recursive,
        [this, raw](platform::EventStream const&, std::vector<platform::Event> const& events) {
          callback(*raw, events);
        });
    if (!record->stream) {
      watcher_.lost(dir.key, record->path);
      continue;
    }
    streams_.push_back(std::move(record));
  }
  if (streams_.empty()) return;
  thread_ = std::thread([this] { run(); });
  std::unique_lock lock(mutex_);
  ready_changed_.wait(lock, [this] { return ready_; });
}

ChangeWatcher::Backend::~Backend() {
  if (thread_.joinable()) {
    run_loop_.stop();
    thread_.join();
  }
  for (auto& s : streams_) {
    s->stream->stop();
    s->stream->invalidate();
    s->stream.reset();
  }
}

void ChangeWatcher::Backend::run() {
  for (auto& s : streams_) {
    s->stream->schedule(run_loop_);
    if (!s->stream->start()) watcher_.lost(s->key, s->path);
  }
  {
    std::lock_guard lock(mutex_);
    ready_ = true;
  }
  ready_changed_.notify_all();
  run_loop_.run();
}

void ChangeWatcher::Backend::callback(Stream const& stream,
                                      std::vector<platform::Event> const& events) {
  for (platform::Event const& event : events) {
    if (event.flags & platform::kEventsLost) {
      watcher_.changed_everywhere();
    } else if (event.flags & platform::kWatchLost) {
      watcher_.lost(stream.key, stream.path);
    } else if ((stream.recursive || inside(event.path, stream.path)) &&
               !watcher_.own_files().covers(event.path)) {
      watcher_.changed(stream.key);
    }
  }
}

bool ChangeWatcher::Backend::inside(std::string const& event_path, std::string const& directory) {
  std::filesystem::path p(event_path);
  if (p.has_relative_path() && !p.has_filename()) p = p.parent_path();
  std::filesystem::path const dir(directory);
  return p == dir || p.parent_path() == dir;
}

}  // namespace KVO_Core
