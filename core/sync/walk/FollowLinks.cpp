// Source links in the tree walk: followed into folders under the link trail's guard, or synced
// as links by a link job.
#include "core/config/RemotePaths.h"
#include "core/config/VolumeName.h"
#include "core/run/RunContext.h"
#include "core/sync/decide/SyncPlan.h"
#include "core/sync/links/SyncLink.h"
#include "core/sync/walk/SyncTree.h"
#include "core/versions/GenerationName.h"
#include "utilities/Paths.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace fs = std::filesystem;
using Utilities::symlink_util::FollowRefusal;
using Utilities::symlink_util::LinkTrail;

void SyncTree::start_trail() {
  bool const remote_target = target_side().remote();
  if (source_side().remote()) {
    std::optional<std::wstring> const root = source_side().real_path(source_root);
    if (!root) return;
    std::optional<fs::path> other;
    if (remote_target && same_account(source_root, target_root))
      if (std::optional<std::wstring> const real = target_side().real_path(target_root))
        other = Utilities::to_path(*real);
    trail = LinkTrail::of_resolved(Utilities::to_path(*root), other);
    return;
  }
  std::optional<fs::path> other;
  if (!remote_target) other = Utilities::to_path(target_root);
  trail.emplace(Utilities::to_path(source_root), other);
}

LinkTally::Count* SyncTree::refused_links(FollowRefusal refusal) {
  switch (refusal) {
    case FollowRefusal::unresolvable:
      return &tally.dangling;
    case FollowRefusal::loop:
      return &tally.loop;
    case FollowRefusal::overlap:
      return &tally.into_target;
    case FollowRefusal::too_deep:
      return &tally.too_deep;
    default:
      return nullptr;
  }
}

SyncTree::LinkTarget SyncTree::remote_link_target(std::wstring const& source_path) const {
  std::optional<EntryInfo> const info = source_side().entry(source_path);
  if (!info) return {LinkTarget::Kind::NoAnswer, {}};
  if (!info->resolves) return {LinkTarget::Kind::Unresolved, {}};
  if (info->target_is_dir) {
    std::optional<std::wstring> const real = source_side().real_path(source_path);
    if (!real) return {LinkTarget::Kind::Unresolved, {}};
    return {LinkTarget::Kind::DirectoryTarget, Utilities::to_path(*real)};
  }
  return {LinkTarget::Kind::FileTarget, {}};
}

SyncTree::LinkTarget SyncTree::link_target(Entry const& entry,
                                           std::wstring const& source_path) const {
  if (source_side().remote()) return remote_link_target(source_path);
  if (entry.is_regular) return {LinkTarget::Kind::FileTarget, {}};
  std::error_code ec;
  fs::path const resolved = fs::canonical(Utilities::to_path(source_path), ec);
  if (ec) return {LinkTarget::Kind::Unresolved, {}};
  if (fs::is_directory(resolved, ec)) return {LinkTarget::Kind::DirectoryTarget, resolved};
  return {LinkTarget::Kind::Unresolved, {}};
}

void SyncTree::follow_link_entry(Entry const& entry, std::wstring const& source_path,
                                 std::wstring const& source_dir, std::wstring const& target_dir,
                                 std::wstring const& wildcard, Names const& target_dirs) {
  LinkTarget const target = link_target(entry, source_path);
  if (target.kind == LinkTarget::Kind::NoAnswer) return;
  if (target.kind == LinkTarget::Kind::FileTarget) {
    sync_file_entry(entry.name, source_dir, target_dir, wildcard);
    return;
  }
  if (is_excluded(entry.name, item.exclusions)) return;
  if (target.kind == LinkTarget::Kind::Unresolved) {
    tally.dangling.add(source_path);
    return;
  }
  FollowRefusal const refusal = trail->refusal_of(target.resolved);
  if (refusal != FollowRefusal::none) {
    if (LinkTally::Count* counter = refused_links(refusal)) counter->add(source_path);
    return;
  }
  std::wstring const target_child =
      Utilities::util::with_trailing_char(target_dir, L'/') + entry.name;
  if (!target_usable(target_child)) return;
  DirState const dir_state = subtree_state(entry.name, source_dir, target_dirs);
  trail->enter_resolved(target.resolved);
  try {
    sync_tree(source_path, target_child, wildcard, dir_state);
  } catch (...) {
    trail->leave();
    throw;
  }
  trail->leave();
}

void SyncTree::sync_link_entry(Entry const& entry, std::wstring const& source_path,
                               std::wstring const& target_dir, std::wstring const& wildcard) {
  if (link_filtered(entry.name, source_path, source_side(), entry.is_dir, wildcard)) return;
  if (!source_side().remote() &&
      Utilities::symlink_util::junction(Utilities::to_path(source_path))) {
    tally.junctions.add(source_path);
    return;
  }
  std::wstring const target = Utilities::util::with_trailing_char(target_dir, L'/') + entry.name;
  run_link_job(*this, source_path, target);
}

void SyncTree::sync_target_only_links(std::wstring const& source_dir,
                                      std::wstring const& target_dir, std::wstring const& wildcard,
                                      Names const& source_names) {
  if (!item.flags.syncDeletions && !item.flags.twoWaySync) return;
  // A dry run without a plan was counted by the target-only visit already.
  if (dry_run && !planning()) return;
  std::vector<std::pair<std::wstring, bool>> links;  // name, leads to a folder
  if (target_side().remote()) {
    PlaceListing const listing = target_side().list(target_dir);
    if (!listing.complete) throw ListingFailed(target_dir);
    for (PlaceEntry const& entry : listing.entries)
      if (entry.kind == EntryKind::Link) links.emplace_back(entry.name, false);
  } else {
    std::error_code ec;
    fs::directory_iterator it(Utilities::to_path(target_dir), ec);
    for (fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
      std::error_code own_ec, followed_ec;
      if (!it->is_symlink(own_ec) || skip_undecodable(it->path().filename().native(), target_dir))
        continue;
      links.emplace_back(Utilities::from_path(it->path().filename()),
                         it->is_directory(followed_ec));
    }
  }
  for (auto const& [name, leads_to_dir] : links) {
    if (source_names.count(name) > 0 || father_son_backup(name)) continue;
    if (name.size() >= 9 && name.compare(name.size() - 9, 9, L".kvo-link") == 0) continue;
    std::wstring const target = Utilities::util::with_trailing_char(target_dir, L'/') + name;
    if (link_filtered(name, target, target_side(), leads_to_dir, wildcard)) continue;
    run_link_job(*this, Utilities::util::with_trailing_char(source_dir, L'/') + name, target);
    if (RunContext::stopping()) return;
  }
}

}  // namespace KVO_Core
