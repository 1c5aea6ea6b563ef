// Shared pieces of the engine tests: real files with chosen times in a temporary folder, items
// built from them, a stop flag that lets passes run, collected log lines and a progress sink
// that records (and may act on) what the engine publishes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/config/SyncItem.h"
#include "core/run/RunContext.h"
#include "support/temp_dir.h"
#include "utilities/FileTime.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Util.h"

namespace engine_test {

namespace fs = std::filesystem;

// A fixed point in time so that offsets in seconds are exact.
inline constexpr std::time_t T0 = 1700000000;

inline fs::file_time_type at(double seconds) {
  auto const whole = static_cast<std::time_t>(seconds);
  auto const rest = std::chrono::nanoseconds(static_cast<std::int64_t>((seconds - whole) * 1e9));
  return Utilities::file_time::to_file_time(T0 + whole) +
         std::chrono::duration_cast<fs::file_time_type::duration>(rest);
}

inline void put(fs::path const& file, std::string const& content, double seconds) {
  test_support::write_file(file, content);
  fs::last_write_time(file, at(seconds));
}

inline std::wstring w(fs::path const& p) { return Utilities::from_path(p); }

inline KVO_Core::SyncItem make_item(KVO_Core::SyncItemType type, fs::path const& source,
                                    fs::path const& target, KVO_Core::SyncFlags const& flags,
                                    KVO_Core::CompareItems const& compare = {}) {
  return KVO_Core::SyncItem(L"item", type, w(source), w(target), L"", KVO_Core::Exclusions{}, flags,
                            compare);
}

// Lets passes run on this thread although no controller exists.
class Running {
 public:
  Running() : override_(flag_) {}

 private:
  std::atomic<bool> flag_{false};
  KVO_Core::RunContext::StopOverride override_;
};

// Collects the log lines of Info and above for the object's life.
class LogLines {
 public:
  LogLines() { Utilities::Logging::instance().collect_messages(true); }
  ~LogLines() { Utilities::Logging::instance().collect_messages(false); }
  std::vector<Utilities::LogMessage> const& take() {
    auto more = Utilities::Logging::instance().take_collected_messages();
    lines_.insert(lines_.end(), more.begin(), more.end());
    return lines_;
  }
  std::size_t count(Utilities::LogLevel level, std::string const& part = {}) {
    std::size_t n = 0;
    for (auto const& line : take())
      if (line.level == level && line.text.find(part) != std::string::npos) ++n;
    return n;
  }

 private:
  std::vector<Utilities::LogMessage> lines_;
};

// Records progress; on_bytes may act in the middle of a copy (delete a file, throw).
class RecordingSink : public KVO_Core::ProgressSink {
 public:
  RecordingSink() { previous_ = KVO_Core::RunContext::set_progress_sink(this); }
  ~RecordingSink() override { KVO_Core::RunContext::set_progress_sink(previous_); }

  void copied_bytes(std::uint64_t bytes) override {
    last_bytes = bytes;
    if (on_bytes) on_bytes(bytes);
  }
  void progress_message(std::wstring const& text, std::wstring const&, std::uint64_t) override {
    messages.push_back(text);
  }
  void note(Utilities::LogLevel level, std::string const& text) override {
    notes.emplace_back(level, text);
  }

  std::atomic<std::uint64_t> last_bytes{0};
  std::vector<std::wstring> messages;
  std::vector<std::pair<Utilities::LogLevel, std::string>> notes;
  std::function<void(std::uint64_t)> on_bytes;

 private:
  KVO_Core::ProgressSink* previous_ = nullptr;
};

}  // namespace engine_test
