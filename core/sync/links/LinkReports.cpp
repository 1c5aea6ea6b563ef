// The link counts of a pass and the link-mode warning, each given once per item while it lasts;
// the filters for link entries met in a walk.
#include "core/run/RunContext.h"
#include "core/sync/SyncBase.h"
#include "utilities/Links.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

using Utilities::LogLevel;
using Utilities::translation::translate;

void SyncBase::report_links() {
  if (dry_run) return;
  LinkTally::Count unresolved;
  for (std::wstring const& path : tally.created)
    if (Utilities::symlink_util::dangling_link(Utilities::to_path(path))) unresolved.add(path);
  report_link_count(tally.not_supported, "links_not_supported_skipped");
  report_link_count(tally.system, "system_links_skipped");
  report_link_count(tally.leave_tree, "links_leave_tree");
  report_link_count(unresolved, "links_unresolved_in_target");
  report_link_count(tally.loop, "links_loop_skipped");
  report_link_count(tally.into_target, "links_into_target_skipped");
  report_link_count(tally.too_deep, "links_too_deep_skipped");
  report_link_count(tally.dangling, "links_dangling_skipped");
  report_link_count(tally.junctions, "junctions_skipped");
  tally = LinkTally();
}

void SyncBase::report_link_count(LinkTally::Count const& count, char const* message_id) const {
  std::wstring const key = item.name + L"|" + Utilities::util::string_to_wstring(message_id);
  if (count.count == 0) {
    clear_refused(key);
    return;
  }
  if (!mark_refused(key)) return;
  std::wstring const detail = std::to_wstring(count.count) + L" (" + count.example + L")";
  Utilities::log_at(LogLevel::Warning, translate(message_id), detail);
  RunContext::note(LogLevel::Warning, translate(message_id) + L" " + detail);
}

void SyncBase::report_mode_conflict() const {
  if (dry_run) return;
  bool const conflict = item.flags.symlinks == SymlinkMode::Follow &&
                        (item.flags.twoWaySync || item.flags.delAftercopy);
  std::wstring const key = item.name + L"|symlink_follow_needs_one_way";
  if (!conflict) {
    clear_refused(key);
    return;
  }
  if (!mark_refused(key)) return;
  Utilities::log_at(LogLevel::Warning, translate("symlink_follow_needs_one_way"), item.name);
  RunContext::note(LogLevel::Warning, translate("symlink_follow_needs_one_way") + L" " + item.name);
}

bool SyncBase::link_filtered(std::wstring const& name, std::wstring const& path, Place const& side,
                             bool leads_to_dir, std::wstring const& wildcard) const {
  if (is_excluded(name, item.exclusions)) return true;
  // The wildcard does not apply to directories.
  if (leads_to_dir || wildcard.empty()) return false;
  if (Utilities::util::wildmatch(name, wildcard)) return false;
  // A remote listing does not say where a link leads.
  if (!side.remote()) return true;
  std::optional<EntryInfo> const info = side.entry(path);
  return !info || !info->target_is_dir;
}

bool SyncBase::system_link_skipped(std::wstring const& source) {
  if (source_side().remote()) return false;
  if (!Utilities::symlink_util::system_link(Utilities::to_path(source))) return false;
  tally.system.add(source);
  return true;
}

}  // namespace KVO_Core
