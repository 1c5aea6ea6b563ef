#include "platform/EventStream.h"

#include "platform/RunLoop.h"
#include "platform/WatchHub.h"

namespace platform {

std::unique_ptr<EventStream> EventStream::create(std::filesystem::path const& root,
                                                 std::chrono::milliseconds latency, bool recursive,
                                                 EventCallback callback) {
  if (!root.is_absolute() || !callback) return nullptr;
  return std::unique_ptr<EventStream>(
      new EventStream(root, latency, recursive, std::move(callback)));
}

EventStream::EventStream(std::filesystem::path root, std::chrono::milliseconds latency,
                         bool recursive, EventCallback callback)
    : root_(std::move(root)),
      latency_(latency),
      recursive_(recursive),
      callback_(std::move(callback)) {}

EventStream::~EventStream() { invalidate(); }

void EventStream::schedule(RunLoop& loop) {
  if (loop_) return;
  loop_ = &loop;
  id_ = loop.hub().add_stream(*this, root_.string(), latency_, recursive_, callback_);
}

bool EventStream::start() { return loop_ && loop_->hub().start(id_); }

void EventStream::stop() {
  if (loop_) loop_->hub().stop(id_);
}

void EventStream::invalidate() {
  if (!loop_) return;
  loop_->hub().remove(id_);
  loop_ = nullptr;
}

}  // namespace platform
