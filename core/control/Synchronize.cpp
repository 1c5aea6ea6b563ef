#include "core/control/Synchronize.h"

#include "core/control/SyncReport.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace {

thread_local std::atomic<bool> const* own_stop = nullptr;

}  // namespace

std::atomic<bool> Synchronize::stop_{true};
std::atomic<ProgressSink*> Synchronize::sink_{nullptr};

bool Synchronize::stopping() {
  if (own_stop) return own_stop->load();
  return stop_.load() || sync_abandoned();
}

Synchronize::StopOverride::StopOverride(std::atomic<bool> const& flag) : previous_(own_stop) {
  own_stop = &flag;
}

Synchronize::StopOverride::~StopOverride() { own_stop = previous_; }

void Synchronize::report_copied_bytes(std::uint64_t bytes) {
  if (ProgressSink* sink = sink_.load()) sink->copied_bytes(bytes);
}

void Synchronize::set_progress_message(std::wstring const& text, std::wstring const& detail,
                                       std::uint64_t bytes) {
  if (ProgressSink* sink = sink_.load()) sink->progress_message(text, detail, bytes);
}

void Synchronize::note(Utilities::LogLevel level, std::wstring const& text) {
  if (ProgressSink* sink = sink_.load())
    sink->note(level, Utilities::util::wstring_to_string(text));
}

ProgressSink* Synchronize::set_progress_sink(ProgressSink* sink) { return sink_.exchange(sink); }

void Synchronize::set_stop(bool stop) { stop_.store(stop); }

}  // namespace KVO_Core
