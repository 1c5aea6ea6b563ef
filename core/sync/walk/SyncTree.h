// The job of a tree item: walks the source tree and, for a two-way item, the target tree, one
// folder pair at a time; every file goes to a file job, every link by the item's link mode.
// Folders made or deleted on one side since the last pass are told apart with the state.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/sync/SyncBase.h"
#include "core/sync/decide/ReadAhead.h"
#include "utilities/Links.h"

namespace KVO_Core {

class SyncTree : public SyncBase {
 public:
  struct Entry {
    std::wstring name;
    bool is_dir = false;      // with links followed
    bool is_regular = false;  // with links followed
    bool is_link = false;     // the entry itself
  };

  enum class DirState : int {
    Both = 0,
    SourceNew = 1,
    TargetNew = 2,
    SourceDeleted = 3,
    TargetDeleted = 4
  };

  struct LinkTarget {
    enum class Kind : int { NoAnswer = 0, Unresolved = 1, FileTarget = 2, DirectoryTarget = 3 };
    Kind kind = Kind::NoAnswer;
    std::filesystem::path resolved;  // DirectoryTarget only
  };

  using Names = std::set<std::wstring>;

  // Both roots come from the item. The counter and the state (may be null) must outlive the job.
  SyncTree(SyncItem const& item, std::uint64_t& count, bool dry_run, SyncState* state,
           Sides const* sides = nullptr);

  // The whole walk and the end of the pass; failures are reported, never thrown.
  void operator()() override;

  // One folder pair and everything below it; a failure ends this pair only.
  void sync_tree(std::wstring const& source_dir, std::wstring const& target_dir,
                 std::wstring const& wildcard, DirState dir_state);
  // The source folder's entries in listing order; throws a file-system error.
  std::vector<Entry> list_source(std::wstring const& source_dir) const;
  // Real subfolders of a target folder (links excluded); empty when the folder is missing;
  // throws "target directory cannot be listed" otherwise.
  Names list_target_dirs(std::wstring const& target_dir) const;
  // Syncs the source entries; answers every source name met, skipped ones included.
  Names sync_entries(std::wstring const& source_dir, std::wstring const& target_dir,
                     std::wstring const& wildcard, Names const& target_dirs);
  void sync_entry(Entry const& entry, std::wstring const& source_dir,
                  std::wstring const& target_dir, std::wstring const& wildcard,
                  Names const& target_dirs);
  void sync_subtree(std::wstring const& name, std::wstring const& source_dir,
                    std::wstring const& target_dir, std::wstring const& wildcard,
                    Names const& target_dirs);
  void sync_file_entry(std::wstring const& name, std::wstring const& source_dir,
                       std::wstring const& target_dir, std::wstring const& wildcard);
  // Passes the wildcard and is not excluded.
  bool file_wanted(std::wstring const& name, std::wstring const& wildcard) const;
  // The regular files of a listing that sync_entry hands to a file job, for the read-ahead.
  std::vector<ReadAhead::File> files_to_read(std::vector<Entry> const& entries,
                                             std::wstring const& wildcard) const;
  // A device, FIFO, socket or unnamed kind (always true for a remote source).
  bool special_file(std::wstring const& path) const;
  DirState subtree_state(std::wstring const& name, std::wstring const& source_dir,
                         Names const& target_dirs) const;
  bool known_below(std::wstring const& source_path) const;
  // Makes the folder the state needs; false when that failed (reported).
  bool prepare(std::wstring const& source_dir, std::wstring const& target_dir, DirState dir_state);
  // Queues the removal of a folder deleted on the other side.
  void settle(std::wstring const& source_dir, std::wstring const& target_dir, DirState dir_state);
  void sync_target_only_dirs(std::wstring const& source_dir, std::wstring const& target_dir,
                             std::wstring const& wildcard, Names const& source_names,
                             Names const& target_dirs);
  static wchar_t source_separator() { return L'/'; }
  static wchar_t target_separator() { return L'/'; }
  bool junction_as_link(std::wstring const& path) const;

  // A folder may be made or walked at the target path: a link there is never entered; it is
  // replaced when the item removes extra target entries, else reported (false).
  bool target_dir_usable(std::wstring const& target);
  // The source folder is the target root itself (same device and inode).
  bool is_target_root(std::wstring const& source) const;

  // Links in the walk (core/sync/walk/FollowLinks.cpp).
  void start_trail();
  void sync_link_entry(Entry const& entry, std::wstring const& source_path,
                       std::wstring const& target_dir, std::wstring const& wildcard);
  void follow_link_entry(Entry const& entry, std::wstring const& source_path,
                         std::wstring const& source_dir, std::wstring const& target_dir,
                         std::wstring const& wildcard, Names const& target_dirs);
  // Links found only in the target folder (links synced as links): each goes to a link job.
  void sync_target_only_links(std::wstring const& source_dir, std::wstring const& target_dir,
                              std::wstring const& wildcard, Names const& source_names);
  LinkTarget link_target(Entry const& entry, std::wstring const& source_path) const;
  LinkTarget remote_link_target(std::wstring const& source_path) const;
  // The counter a refusal of the trail goes to; null for none.
  LinkTally::Count* refused_links(Utilities::symlink_util::FollowRefusal refusal);

  std::optional<Utilities::symlink_util::LinkTrail> trail;
};

}  // namespace KVO_Core
