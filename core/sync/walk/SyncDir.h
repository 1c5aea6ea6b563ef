// The job of a directory item: the files (and, by the link mode, the links) directly inside the
// source folder against the target folder, without descending; then the files only in the
// target, then the end of the pass.
#pragma once

#include <cstdint>
#include <string>

#include "core/sync/SyncBase.h"

namespace KVO_Core {

class SyncDir : public SyncBase {
 public:
  // Both roots come from the item's paths. The counter and the state (may be null) must outlive
  // the job.
  SyncDir(SyncItem const& item, std::uint64_t& count, bool dry_run, SyncState* state,
          Sides const* sides = nullptr);

  // Runs the level; failures are logged and reported, never thrown. A folder that cannot be
  // listed ends the level without deletions and keeps every remembered entry.
  void operator()() override;

  // One entry of a remote source.
  void sync_remote_entry(PlaceEntry const& entry, std::wstring const& source_dir,
                         std::wstring const& wildcard, std::wstring const& target_dir);
  // A remote entry (not synced as a link) that is left out; special entries give a hint.
  bool filtered(PlaceEntry const& entry, std::wstring const& source_dir,
                std::wstring const& wildcard) const;
  // A remote link that Follow mode syncs as a file: it resolves to something not a folder.
  bool followed_file_link(PlaceEntry const& entry, std::wstring const& source_dir) const;

 private:
  // Lists the source and syncs its entries; false when the listing failed (reported).
  bool sync_source(std::wstring const& source, std::wstring const& target,
                   std::set<std::wstring>& names);
};

}  // namespace KVO_Core
