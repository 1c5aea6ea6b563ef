#include "core/run/RunContext.h"

#include "core/run/SyncReport.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace {

thread_local std::atomic<bool> const* own_stop = nullptr;

}  // namespace

std::atomic<bool> RunContext::stop_{true};
std::atomic<ProgressSink*> RunContext::sink_{nullptr};

bool RunContext::stopping() {
  if (own_stop) return own_stop->load();
  return stop_.load() || sync_abandoned();
}

RunContext::StopOverride::StopOverride(std::atomic<bool> const& flag) : previous_(own_stop) {
  own_stop = &flag;
}

RunContext::StopOverride::~StopOverride() { own_stop = previous_; }

void RunContext::report_copied_bytes(std::uint64_t bytes) {
  if (ProgressSink* sink = sink_.load()) sink->copied_bytes(bytes);
}

void RunContext::set_progress_message(std::wstring const& text, std::wstring const& detail,
                                      std::uint64_t bytes) {
  if (ProgressSink* sink = sink_.load()) sink->progress_message(text, detail, bytes);
}

void RunContext::note(Utilities::LogLevel level, std::wstring const& text) {
  if (ProgressSink* sink = sink_.load())
    sink->note(level, Utilities::util::wstring_to_string(text));
}

ProgressSink* RunContext::set_progress_sink(ProgressSink* sink) { return sink_.exchange(sink); }

void RunContext::set_stop(bool stop) { stop_.store(stop); }

}  // namespace KVO_Core
