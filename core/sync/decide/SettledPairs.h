// File pairs whose contents were found equal by reading, kept in memory per item so that a later
// pass need not read them again while neither file has changed. Only sound where the change
// time follows every change: a pair is remembered only on such file systems, and only when both
// files had last changed well before the reading began (never right after the engine's own
// copy, which moves the change time). Nothing is stored on disk: the first pass after a start
// reads every pair. Thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "utilities/FilesystemUtil.h"

namespace KVO_Core {

class SettledPairs {
 public:
  using Clock = std::chrono::system_clock;
  using ClockSource = std::function<Clock::time_point()>;
  using ChangeStamp = Utilities::FilesystemUtil::ChangeStamp;

  // How long before a reading both files must have last changed. Writes through a shared
  // mapping are stamped when their pages are next made writable, up to about half a minute
  // later; change times of the same clock tick cannot tell a change that follows the reading.
  static constexpr std::chrono::seconds SETTLE_TIME{60};

  // The process's pairs, made on first use.
  static SettledPairs& instance();
  explicit SettledPairs(ClockSource clock = Clock::now);
  SettledPairs(SettledPairs const&) = delete;
  SettledPairs& operator=(SettledPairs const&) = delete;

  // The item read this pair as equal, and neither file has changed since.
  bool known_equal(std::wstring const& item, ChangeStamp const& source, ChangeStamp const& target);
  // Some pair of the item is remembered: a pass of it has compared before.
  bool knows(std::wstring const& item) const;
  // Remembers a pair found equal by a reading that began at `start` (from now()), with the
  // stamps of the files as opened, when both may be remembered.
  void remember(std::wstring const& item, ChangeStamp const& source, ChangeStamp const& target,
                Clock::time_point start);
  // Drops the item's pairs that its pass, now complete, neither read nor found equal.
  void sweep(std::wstring const& item);
  Clock::time_point now() const;
  // Unix time in nanoseconds before which both files of a pair read at `start` must have last
  // changed for it to be remembered.
  static std::int64_t settled_before(Clock::time_point start);
  void set_clock(ClockSource clock);

 private:
  struct Key {
    std::uint64_t source_device;
    std::uint64_t source_inode;
    std::uint64_t target_device;
    std::uint64_t target_inode;
    friend bool operator==(Key const&, Key const&) = default;
  };
  struct KeyHash {
    std::size_t operator()(Key const& key) const;
  };
  struct Pair {
    ChangeStamp source;
    ChangeStamp target;
    std::uint64_t pass = 0;  // the last pass that met it
  };
  struct Table {
    std::unordered_map<Key, Pair, KeyHash> pairs;
    std::uint64_t pass = 0;
  };

  static Key key_of(ChangeStamp const& source, ChangeStamp const& target);

  mutable std::mutex mutex_;
  std::map<std::wstring, Table> items_;
  ClockSource clock_;
};

}  // namespace KVO_Core
