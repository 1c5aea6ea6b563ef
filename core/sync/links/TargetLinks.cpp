// A symbolic link in the target where a file is to be written: found (remote directories are
// listed once per job), replaced when the item syncs deletions, else reported and never
// written through.
#include "core/run/SyncReport.h"
#include "core/sync/SyncBase.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace KVO_Core {

using Utilities::LogLevel;
using Utilities::translation::translate;

namespace {

std::pair<std::wstring, std::wstring> split_last(std::wstring const& path) {
  std::size_t const last = path.rfind(L'/');
  if (last == std::wstring::npos) return {path, std::wstring()};
  return {path.substr(0, last), path.substr(last + 1)};
}

}  // namespace

bool SyncBase::target_is_link(std::wstring const& target) {
  Place const& side = target_side();
  if (side.remote()) {
    if (!side.keeps_links(target)) return false;
    auto const [dir, name] = split_last(target);
    auto [place, fresh] = remote_links.try_emplace(dir);
    if (fresh)
      for (PlaceEntry const& entry : side.list(dir).entries)
        if (entry.kind == EntryKind::Link) place->second.insert(entry.name);
    return place->second.count(name) > 0;
  }
  std::error_code ec;
  return std::filesystem::is_symlink(
      std::filesystem::symlink_status(Utilities::to_path(target), ec));
}

bool SyncBase::link_removed(std::wstring const& target) {
  if (target_side().remote()) {
    auto const [dir, name] = split_last(target);
    remote_links[dir].erase(name);
  }
  return !target_side().remove_file(target);
}

bool SyncBase::target_usable(std::wstring const& target) {
  if (!links_as_links() && !follows_links()) return true;
  if (dry_run || !target_is_link(target)) return true;
  if (item.flags.syncDeletions && link_removed(target)) {
    Utilities::log_at(LogLevel::Info, translate("target_link_replaced"), target);
    return true;
  }
  Utilities::log_at(LogLevel::Error, translate("target_is_link"), target);
  report_sync_error(translate("target_is_link") + target);
  return false;
}

}  // namespace KVO_Core
