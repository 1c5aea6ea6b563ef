#include "core/sync/decide/SettledPairs.h"

namespace KVO_Core {

SettledPairs& SettledPairs::instance() {
  static SettledPairs pairs;
  return pairs;
}

SettledPairs::SettledPairs(ClockSource clock) : clock_(std::move(clock)) {}

std::size_t SettledPairs::KeyHash::operator()(Key const& key) const {
  std::size_t h = std::hash<std::uint64_t>{}(key.source_inode);
  for (std::uint64_t const part : {key.source_device, key.target_device, key.target_inode})
    h = h * 0x9E3779B97F4A7C15ULL + std::hash<std::uint64_t>{}(part);
  return h;
}

SettledPairs::Key SettledPairs::key_of(ChangeStamp const& source, ChangeStamp const& target) {
  return {source.device, source.inode, target.device, target.inode};
}

bool SettledPairs::known_equal(std::wstring const& item, ChangeStamp const& source,
                               ChangeStamp const& target) {
  std::lock_guard lock(mutex_);
  auto const table = items_.find(item);
  if (table == items_.end()) return false;
  auto const found = table->second.pairs.find(key_of(source, target));
  if (found == table->second.pairs.end()) return false;
  if (!(found->second.source == source && found->second.target == target)) {
    table->second.pairs.erase(found);
    return false;
  }
  found->second.pass = table->second.pass;
  return true;
}

bool SettledPairs::knows(std::wstring const& item) const {
  std::lock_guard lock(mutex_);
  return items_.count(item) > 0;
}

void SettledPairs::remember(std::wstring const& item, ChangeStamp const& source,
                            ChangeStamp const& target, Clock::time_point start) {
  if (!source.change_time_kept || !target.change_time_kept) return;
  std::int64_t const settled = settled_before(start);
  if (source.ctime_ns >= settled || target.ctime_ns >= settled) return;
  std::lock_guard lock(mutex_);
  Table& table = items_[item];
  table.pairs[key_of(source, target)] = {source, target, table.pass};
}

void SettledPairs::sweep(std::wstring const& item) {
  std::lock_guard lock(mutex_);
  auto const table = items_.find(item);
  if (table == items_.end()) return;
  std::uint64_t const pass = table->second.pass;
  std::erase_if(table->second.pairs,
                [pass](auto const& entry) { return entry.second.pass != pass; });
  if (table->second.pairs.empty()) {
    items_.erase(table);
    return;
  }
  ++table->second.pass;
}

std::int64_t SettledPairs::settled_before(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             (start - SETTLE_TIME).time_since_epoch())
      .count();
}

SettledPairs::Clock::time_point SettledPairs::now() const {
  std::lock_guard lock(mutex_);
  return clock_();
}

void SettledPairs::set_clock(ClockSource clock) {
  std::lock_guard lock(mutex_);
  clock_ = std::move(clock);
}

}  // namespace KVO_Core
