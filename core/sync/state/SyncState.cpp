#include "core/sync/state/SyncState.h"

#include <algorithm>
#include <utility>

namespace KVO_Core {

namespace {

bool same(FileState const& a, FileState const& b) {
  return a.size == b.size && a.source_time == b.source_time && a.target_time == b.target_time &&
         a.link_target == b.link_target;
}

bool starts_with(std::wstring const& text, std::wstring const& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

SyncState::SyncState(std::wstring source, std::wstring target, Entries entries)
    : source(std::move(source)), target(std::move(target)), entries(std::move(entries)) {
  for (auto& [key, value] : this->entries) {
    value.seen = false;  // a pass starts having met nothing
    if (!value.link_target) by_size.emplace(value.size, key);
  }
}

FileState const* SyncState::find(std::wstring const& key) const {
  auto const found = entries.find(key);
  return found == entries.end() ? nullptr : &found->second;
}

void SyncState::record(std::wstring const& key, FileState value) {
  value.seen = true;
  auto const found = entries.find(key);
  if (found == entries.end()) {
    changed = true;
    if (indexed(value)) by_size.emplace(value.size, key);
    entries.emplace_hint(found, key, std::move(value));
    seen_keys.erase(key);
    return;
  }
  FileState& entry = found->second;
  if (same(entry, value)) {
    entry.seen = true;
    return;
  }
  changed = true;
  if (indexed(entry)) by_size.erase({entry.size, key});
  if (indexed(value)) by_size.emplace(value.size, key);
  entry = std::move(value);
}

bool SyncState::indexed(FileState const& value) const {
  return !value.link_target && !deletions_only;
}

void SyncState::seen(std::wstring const& key) {
  auto const found = entries.find(key);
  if (found != entries.end())
    found->second.seen = true;
  else
    seen_keys.insert(key);
}

FileState const* SyncState::meet(std::wstring const& key) {
  auto const found = entries.find(key);
  if (found == entries.end()) return nullptr;
  found->second.seen = true;
  return &found->second;
}

void SyncState::forget(std::wstring const& key) {
  unindex(key);
  if (entries.erase(key) > 0) changed = true;
  seen_keys.erase(key);
}

void SyncState::forget_unseen() {
  for (auto entry = entries.begin(); entry != entries.end();) {
    if (entry->second.seen) {
      entry->second.seen = false;
      ++entry;
      continue;
    }
    unindex(entry->first);
    entry = entries.erase(entry);
    changed = true;
  }
  seen_keys.clear();
}

void SyncState::keep_below(std::wstring const& directory_key) {
  if (directory_key.empty()) {
    for (auto& entry : entries) entry.second.seen = true;
    return;
  }
  std::wstring const prefix = directory_key + L"/";
  for (auto entry = entries.lower_bound(prefix);
       entry != entries.end() && starts_with(entry->first, prefix); ++entry)
    entry->second.seen = true;
  auto const folder = entries.find(directory_key);
  if (folder != entries.end()) folder->second.seen = true;
}

std::vector<std::wstring> SyncState::with_size(std::uint64_t size) const {
  std::vector<std::wstring> keys;
  for (auto entry = by_size.lower_bound({size, std::wstring()});
       entry != by_size.end() && entry->first == size; ++entry)
    keys.push_back(entry->second);
  return keys;
}

void SyncState::unindex(std::wstring const& key) {
  auto const entry = entries.find(key);
  if (entry == entries.end()) return;
  by_size.erase({entry->second.size, key});
}

bool SyncState::knows_below(std::wstring const& directory_key) const {
  std::wstring const prefix = directory_key + L"/";
  auto const entry = entries.lower_bound(prefix);
  if (entry != entries.end() && starts_with(entry->first, prefix)) return true;
  // A folder whose files were renamed away in this pass was still known when the pass began.
  auto const renamed = renamed_keys.lower_bound(prefix);
  return renamed != renamed_keys.end() && starts_with(*renamed, prefix);
}

void SyncState::defer(PendingDeletion deletion) {
  if (renamed_keys.count(deletion.key) > 0) return;
  deletions.push_back(std::move(deletion));
}

void SyncState::defer(PendingDirRemoval removal) { dir_removals.push_back(std::move(removal)); }

std::optional<PendingDeletion> SyncState::claim(std::wstring const& key) {
  auto const found = std::find_if(deletions.begin(), deletions.end(),
                                  [&](PendingDeletion const& d) { return d.key == key; });
  if (found == deletions.end()) return std::nullopt;
  PendingDeletion claimed = std::move(*found);
  deletions.erase(found);
  return claimed;
}

void SyncState::renamed(std::wstring const& key) { renamed_keys.insert(key); }

std::vector<PendingDeletion> SyncState::take_deletions() { return std::exchange(deletions, {}); }

std::vector<PendingDirRemoval> SyncState::take_dir_removals() {
  return std::exchange(dir_removals, {});
}

}  // namespace KVO_Core
