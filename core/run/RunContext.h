// What every long-running loop below the controller needs of the run it belongs to: the stop
// test with its per-thread override, and the progress channel (bytes of the current file,
// progress messages, notes). Progress goes to the installed sink (the running controller; tests
// install a recording one) and is dropped while none is installed.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "utilities/Logging.h"

namespace KVO_Core {

enum class SyncType : int { Count = 1, Preview = 2, Once = 3, Continuous = 4 };
enum class SyncRole : int { Foreground = 0, Background = 1 };

// Receiver of a pass's progress. Called on the thread that runs the pass (copied_bytes and
// progress_message may be read by another thread: the receiver guards its own data).
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // Bytes of the current file copied so far (a running total).
  virtual void copied_bytes(std::uint64_t bytes) = 0;
  // A new progress message; the byte count of the current file restarts at 0.
  virtual void progress_message(std::wstring const& text, std::wstring const& detail,
                                std::uint64_t bytes) = 0;
  virtual void note(Utilities::LogLevel level, std::string const& text) = 0;
};

// The controller derives from this, so its callers may name these as Synchronize's own.
class RunContext {
 public:
  // The calling thread's own stop flag when a StopOverride is in place; otherwise the global
  // stop flag (true while no controller runs) or whether the thread's report was abandoned.
  // Lock-free.
  static bool stopping();

  // Makes `flag` the calling thread's stop flag for the object's life; nestable. While it is in
  // place the global flag and report abandonment are ignored on this thread.
  class StopOverride {
   public:
    explicit StopOverride(std::atomic<bool> const& flag);
    ~StopOverride();
    StopOverride(StopOverride const&) = delete;
    StopOverride& operator=(StopOverride const&) = delete;

   private:
    std::atomic<bool> const* previous_;
  };

  // Running total of bytes of the current file; nothing without a sink.
  static void report_copied_bytes(std::uint64_t bytes);
  // Publishes a progress message; nothing without a sink.
  static void set_progress_message(std::wstring const& text, std::wstring const& detail,
                                   std::uint64_t bytes);
  // Appends a note (UTF-8) for a front end; nothing without a sink.
  static void note(Utilities::LogLevel level, std::wstring const& text);

  // Installs the receiver of progress (null: none) and gives the previous one. The receiver
  // must outlive its installation.
  static ProgressSink* set_progress_sink(ProgressSink* sink);

  // Sets or clears the process-wide stop flag (true at program start: no controller runs).
  static void set_stop(bool stop);

 protected:
  static std::atomic<bool> stop_;
  static std::atomic<ProgressSink*> sink_;
};

}  // namespace KVO_Core
