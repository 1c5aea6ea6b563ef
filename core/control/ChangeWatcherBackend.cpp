#include "core/control/ChangeWatcherBackend.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <system_error>

namespace KVO_Core {
namespace {

// The first event of a burst comes at once, further ones are gathered for a second; the due
// rule's two seconds then let the burst settle.
constexpr std::chrono::milliseconds LATENCY{1000};

// The canonical form of an existing directory; none otherwise.
std::optional<std::filesystem::path> existing_directory(std::string const& path) {
  std::error_code ec;
  std::filesystem::path const canonical = std::filesystem::canonical(path, ec);
  if (ec || !std::filesystem::is_directory(canonical, ec)) return std::nullopt;
  return canonical;
}

}  // namespace

ChangeWatcher::Backend::Backend(ChangeWatcher& watcher, std::vector<WatchedDir> const& dirs)
    : watcher_(watcher) {
  for (WatchedDir const& dir : dirs) {
    std::optional<std::filesystem::path> const canonical = existing_directory(dir.path);
    if (!canonical) {
      // Usually a target its item's first pass is about to make.
      waiting_.push_back(dir);
      watcher_.missing(dir.key, dir.path);
      continue;
    }
    auto record = make_stream(dir, canonical->string());
    if (!record->stream) {
      watcher_.lost(dir.key, record->path);
      continue;
    }
    streams_.push_back(std::move(record));
  }
  if (!streams_.empty()) start_thread();
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

std::unique_ptr<ChangeWatcher::Backend::Stream> ChangeWatcher::Backend::make_stream(
    WatchedDir const& dir, std::string const& canonical) {
  auto record =
      std::make_unique<Stream>(Stream{watcher_, dir.key, canonical, dir.recursive, nullptr});
  Stream const* raw = record.get();
  record->stream = platform::EventStream::create(
      canonical, LATENCY, dir.recursive,
      [this, raw](platform::EventStream const&, std::vector<platform::Event> const& events) {
        callback(*raw, events);
      });
  return record;
}

void ChangeWatcher::Backend::start_thread() {
  thread_ = std::thread([this] { run(); });
  std::unique_lock lock(mutex_);
  ready_changed_.wait(lock, [this] { return ready_; });
}

bool ChangeWatcher::Backend::resume(std::wstring const& key) {
  bool none_waits = true;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (it->key != key) {
      ++it;
      continue;
    }
    std::optional<std::filesystem::path> const canonical = existing_directory(it->path);
    if (!canonical) {
      none_waits = false;
      ++it;
      continue;
    }
    auto record = make_stream(*it, canonical->string());
    it = waiting_.erase(it);
    if (record->stream) {
      // The loop's table takes its own lock, so a stream joins it while the loop runs; a loop
      // not yet running starts it below.
      record->stream->schedule(run_loop_);
      if (record->stream->start()) {
        streams_.push_back(std::move(record));
        continue;
      }
    }
    watcher_.lost(key, canonical->string());
    none_waits = false;
  }
  if (!streams_.empty() && !thread_.joinable()) start_thread();
  return none_waits;
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
