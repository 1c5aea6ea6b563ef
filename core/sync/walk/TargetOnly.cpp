// Files and links found only in a target directory: visited after the source entries so that
// the per-entry job can delete them (an item that syncs deletions) or copy them back (two-way).
#include "core/config/VolumeName.h"
#include "core/run/RunContext.h"
#include "core/sync/SyncBase.h"
#include "core/sync/decide/SyncPlan.h"
#include "core/versions/GenerationName.h"
#include "utilities/Paths.h"
#include "utilities/StagingFiles.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace fs = std::filesystem;

void SyncBase::sync_target_only_entries(std::wstring const& source_dir,
                                        std::wstring const& target_dir,
                                        std::wstring const& wildcard,
                                        std::set<std::wstring> const& source_names) {
  if (!item.flags.syncDeletions && !item.flags.twoWaySync) return;

  auto const file_step = [&](std::wstring const& name, std::wstring const& target) {
    if (source_names.count(name) > 0) return;
    if (!wildcard.empty() && !Utilities::util::wildmatch(name, wildcard)) return;
    if (is_excluded(name, item.exclusions)) return;
    if (item.flags.fatherSonPrinciple && father_son_backup(name)) return;
    std::wstring const source = child_path(source_dir, name);
    if (dry_run && !planning()) {
      ++count;
      return;
    }
    sync_file(source, target, wildcard);
  };
  // Links are synced as links by the link job; until a walk supplies it, target-only links are
  // only filtered and left alone.
  auto const link_step = [&](std::wstring const& name, std::wstring const& target, bool dir) {
    if (source_names.count(name) > 0 || father_son_backup(name)) return;
    if (link_filtered(name, target, target_side(), dir, wildcard)) return;
    if (dry_run && !planning()) ++count;
  };

  if (target_side().remote()) {
    PlaceListing const listing = target_side().list(target_dir);
    if (!listing.complete) throw ListingFailed(target_dir);
    for (PlaceEntry const& entry : listing.entries) {
      if (entry.kind == EntryKind::Link && links_as_links())
        link_step(entry.name, child_path(target_dir, entry.name), false);
      else if (entry.kind == EntryKind::File)
        file_step(entry.name, child_path(target_dir, entry.name));
      if (RunContext::stopping()) return;
    }
    return;
  }
  fs::path const directory = Utilities::to_path(without_volume_spec(target_dir));
  std::error_code ec;
  fs::file_status const status = fs::status(directory, ec);
  if (ec || status.type() == fs::file_type::not_found || status.type() == fs::file_type::none)
    return;
  for (fs::directory_iterator it(directory), end; it != end; ++it) {
    fs::directory_entry const& entry = *it;
    std::string const raw = entry.path().filename().native();
    // A name that is not UTF-8 would be taken for another file: never delete or copy it back.
    if (!skip_undecodable(raw, target_dir)) {
      std::wstring const name = Utilities::from_path(entry.path().filename());
      // Met with the source's entries: nothing to look at (a staging name is still cleared).
      if (source_names.count(name) > 0 && !Utilities::staging::staging_name(name)) continue;
      std::wstring const path = Utilities::from_path(entry.path());
      if (leftover_staging(name, path, target_side())) continue;
      std::error_code own_ec, followed_ec;
      bool const is_link = entry.is_symlink(own_ec);
      fs::file_status const followed = entry.status(followed_ec);
      if (links_as_links() && is_link)
        link_step(name, path, !followed_ec && fs::is_directory(followed));
      else if (!followed_ec && fs::is_regular_file(followed))
        file_step(name, path);
    }
    if (RunContext::stopping()) return;
  }
}

}  // namespace KVO_Core
