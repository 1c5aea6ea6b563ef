// The remembered state of one sync item: for each file or link pair that was in step at the end
// of a pass, what both sides looked like then, keyed by the path relative to the item root with
// "/" separators. During a pass it also collects the work put off to the pass's end. Used by the
// one thread that runs the item; no lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace KVO_Core {

struct FileState {
  std::uint64_t size = 0;  // the source's size at the last pass (one value for both sides)
  std::filesystem::file_time_type source_time{};
  std::filesystem::file_time_type target_time{};
  std::optional<std::wstring> link_target;  // engaged for a link pair; size and times are 0
  bool seen = false;                        // met in this pass; never stored
};

struct PendingDeletion {
  std::wstring key;
  std::wstring source;
  std::wstring target;
  bool target_side = false;  // true: the target file goes; false: the source file
  std::uint64_t size = 0;    // of the file that goes; 0 for a link
  bool link = false;
};

struct PendingDirRemoval {
  std::wstring path;
  bool target_side = false;  // true: a folder of the target; false: of the source
};

class SyncState {
 public:
  using Entries = std::map<std::wstring, FileState>;

  SyncState(std::wstring source, std::wstring target, Entries entries = {});
  SyncState(SyncState&&) = default;
  SyncState& operator=(SyncState&&) = default;
  SyncState(SyncState const&) = default;
  SyncState& operator=(SyncState const&) = default;

  // The entry of key, null when none. The pointer is valid until the entry is changed.
  FileState const* find(std::wstring const& key) const;
  // Remembers the pair and marks the key seen; `changed` only when the value differs.
  void record(std::wstring const& key, FileState value);
  void seen(std::wstring const& key);
  // Marks the entry of key seen and gives it; null when none (nothing is marked then).
  FileState const* meet(std::wstring const& key);
  void forget(std::wstring const& key);
  // Drops every entry not seen in this pass and clears the seen keys.
  void forget_unseen();
  // Marks every entry at or below the directory key seen, so the pass's end forgets none of
  // them (a folder that could not be listed leaves its entries alone).
  void keep_below(std::wstring const& directory_key);
  // Keys of the file entries of that size, in index order.
  std::vector<std::wstring> with_size(std::uint64_t size) const;
  void unindex(std::wstring const& key);
  // Some entry lies below the directory key, or lay there until a rename of this pass.
  bool knows_below(std::wstring const& directory_key) const;
  // Puts a deletion off, unless its key was already handled by a rename in this pass.
  void defer(PendingDeletion deletion);
  void defer(PendingDirRemoval removal);
  // Takes the first put-off deletion of key back out of the list.
  std::optional<PendingDeletion> claim(std::wstring const& key);
  void renamed(std::wstring const& key);
  std::vector<PendingDeletion> take_deletions();
  std::vector<PendingDirRemoval> take_dir_removals();
  bool indexed(FileState const& value) const;

  std::wstring source;
  std::wstring target;
  Entries entries;
  // (size, key) of every file entry: a key leaves it in one step however many share its size.
  // Not kept for a state of deletions only, which looks for no renames.
  std::set<std::pair<std::uint64_t, std::wstring>> by_size;
  // Keys met in this pass that have no entry; an entry carries its own mark.
  std::set<std::wstring> seen_keys;
  bool changed = false;
  std::vector<PendingDeletion> deletions;
  std::vector<PendingDirRemoval> dir_removals;
  std::set<std::wstring> renamed_keys;
  bool mass_deletion_confirmed = false;
  bool deletions_only = false;  // lives for one pass, never written, no rename detection
  // Key -> time of the file to delete as it was classified: a put-off deletion is carried out
  // only while size and time are still these. Emptied with the queues at the pass's end.
  std::map<std::wstring, std::filesystem::file_time_type> deletion_times;
  // Local folders where this pass placed a new file without syncing its data: their file
  // systems are synced before the state is written. Never stored.
  std::set<std::wstring> unsynced_folders;
};

}  // namespace KVO_Core
