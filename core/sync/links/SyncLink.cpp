#include "core/sync/links/SyncLink.h"

#include <mutex>
#include <set>

#include "core/config/RemotePaths.h"
#include "core/config/VolumeName.h"
#include "core/run/RunContext.h"
#include "core/run/SyncReport.h"
#include "core/sync/Refusals.h"
#include "core/sync/decide/ConflictCopy.h"
#include "core/sync/decide/SyncPlan.h"
#include "utilities/Links.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace KVO_Core {

namespace fs = std::filesystem;
using Utilities::LogLevel;
using Utilities::FilesystemUtil::FileInfoResult;
using Utilities::translation::translate;

namespace {

std::mutex conflicts_mutex;
std::set<std::wstring>& logged_conflicts() {
  static std::set<std::wstring> paths;
  return paths;
}

}  // namespace

bool same_link_target(fs::path const& a, fs::path const& b) {
  return a.lexically_normal() == b.lexically_normal();
}

void run_link_job(SyncBase& parent, std::wstring const& source, std::wstring const& target) {
  if (parent.dry_run && !planning()) {
    ++parent.count;
    return;
  }
  parent.guarded(source, target, [&] {
    SyncItem const entry(parent.item.name, parent.item.type, source, target, L"", Exclusions{},
                         parent.item.flags, parent.item.compare_items);
    SyncLink job(entry, parent.count, parent.dry_run, parent.tally, parent.state,
                 parent.source_root, parent.target_root, &parent.sides);
    job();
  });
}

SyncLink::SyncLink(SyncItem const& link_item, std::uint64_t& count, bool dry_run,
                   LinkTally& parent_tally, SyncState* state, std::wstring const& source_root,
                   std::wstring const& target_root, Sides const* sides)
    : SyncBase(link_item, count, dry_run, state, source_root, target_root, sides),
      parent_tally(parent_tally) {
  std::wstring const source_path = item.source() ? item.source()->path() : std::wstring();
  std::wstring const target_path = item.target() ? item.target()->path() : std::wstring();
  source = {source_remote() ? source_path : without_volume_spec(source_path), source_root,
            &source_side()};
  target = {target_remote() ? target_path : without_volume_spec(target_path), target_root,
            &target_side()};
}

void SyncLink::operator()() {
  if (!source.side->keeps_links(source.path) || !target.side->keeps_links(target.path)) {
    parent_tally.not_supported.add(source.path);
    return;
  }
  key = state_key(source.path);
  if (state) state->seen(key);
  std::optional<Side> const source_side = side(source);
  if (!source_side) return;
  std::optional<Side> const target_side = side(target);
  if (!target_side) return;
  carry_out(decide(*source_side, *target_side), *source_side, *target_side);
}

std::optional<SyncLink::Side> SyncLink::side(End const& place) const {
  Side result;
  if (place.side->remote()) {
    std::optional<EntryInfo> const info = place.side->entry(place.path);
    if (!info) return unasked(place, FileInfoResult::file_info_read_error);
    result.is_link = info->is_link;
    result.exists = info->exists;
    result.is_dir = info->is_dir && !info->is_link;
    result.target_is_dir = info->target_is_dir;
    if (info->is_link)
      result.target = Utilities::symlink_util::portable_link_text(
          fs::path(get_remote_path(place.path)), Utilities::to_path(info->target),
          fs::path(get_remote_path(place.root)));
    return result;
  }
  fs::path const path = Utilities::to_path(place.path);
  Utilities::symlink_util::LinkInfo const info = Utilities::symlink_util::link_info(path);
  if (info.reason != 0) return unasked(place, info.reason);
  if (info.is_link) {
    result.is_link = result.exists = true;
    result.target_is_dir = info.target_is_dir;
    result.target = Utilities::symlink_util::portable_link_text(path, info.text,
                                                                Utilities::to_path(place.root));
    return result;
  }
  std::error_code ec;
  fs::file_type const own = fs::symlink_status(path, ec).type();
  result.exists = own != fs::file_type::none && own != fs::file_type::not_found;
  result.is_dir = own == fs::file_type::directory;
  return result;
}

std::optional<SyncLink::Side> SyncLink::unasked(End const& place, FileInfoResult reason) const {
  if (!dry_run) {
    std::wstring const text =
        Utilities::FilesystemUtil::make_error_message(reason) + L": " + place.path;
    report_refusal(text, reason);
  }
  return std::nullopt;
}

std::optional<fs::path> SyncLink::base() const {
  if (!item.flags.twoWaySync || state == nullptr) return std::nullopt;
  FileState const* entry = state->find(key);
  if (entry == nullptr || !entry->link_target) return std::nullopt;
  return Utilities::to_path(*entry->link_target);
}

SyncLink::Action SyncLink::decide_two_links(Side const& s, Side const& t) const {
  if (same_link_target(s.target, t.target))
    return completes_moves() ? Action::RemoveSource : Action::Settle;
  if (!item.flags.twoWaySync) return Action::CreateInTarget;
  std::optional<fs::path> const remembered = base();
  if (!remembered) return Action::ResolveConflict;
  if (same_link_target(*remembered, s.target)) return Action::CreateInSource;
  if (same_link_target(*remembered, t.target)) return Action::CreateInTarget;
  return Action::ResolveConflict;
}

SyncLink::Action SyncLink::decide_target_only(Side const& t) const {
  if (!item.flags.twoWaySync)
    return item.flags.syncDeletions ? Action::RemoveTarget : Action::Nothing;
  std::optional<fs::path> const remembered = base();
  if (remembered && same_link_target(*remembered, t.target)) return Action::RemoveTarget;
  return Action::CreateInSource;
}

SyncLink::Action SyncLink::decide(Side const& s, Side const& t) const {
  if (s.is_link && t.is_link) return decide_two_links(s, t);
  if (t.is_link) return s.exists ? Action::Nothing : decide_target_only(t);
  if (!s.is_link) return Action::Nothing;
  if (!item.flags.twoWaySync) return Action::CreateInTarget;
  if (t.exists) return Action::ResolveConflict;
  std::optional<fs::path> const remembered = base();
  if (remembered && same_link_target(*remembered, s.target)) return Action::RemoveSource;
  return Action::CreateInTarget;
}

void SyncLink::carry_out(Action action, Side const& s, Side const& t) {
  switch (action) {
    case Action::Nothing:
      return;
    case Action::Settle:
      settle(s.target);
      return;
    case Action::CreateInTarget:
      carry(s, source, t, target);
      return;
    case Action::CreateInSource:
      carry(t, target, s, source);
      return;
    case Action::RemoveTarget:
      remove(true);
      return;
    case Action::RemoveSource:
      remove(false);
      return;
    case Action::ResolveConflict:
      resolve_conflict(s, t);
      return;
  }
}

void SyncLink::carry(Side const& from_side, End const& from, Side const& to_side, End const& to) {
  if (blocked_by_directory(to_side, to)) return;
  if (dry_run) {
    ++count;
    plan(to);
    return;
  }
  if (create(from_side.target, from_side.target_is_dir, to)) carried(from_side, from, to);
}

bool SyncLink::blocked_by_directory(Side const& to_side, End const& place) const {
  if (!to_side.is_dir) return false;
  std::wstring const text = translate("link_blocked_by_directory") + place.path;
  report_refusal(text, FileInfoResult::file_info_write_error);
  return true;
}

void SyncLink::settle(fs::path const& link_target) {
  if (state == nullptr || dry_run) return;
  FileState entry;
  entry.link_target = Utilities::from_path(link_target);
  state->record(key, entry);
}

void SyncLink::plan(End const& place) const {
  bool const to_target = &place == &target;
  PlannedAction const action = !to_target ? PlannedAction::CopyToSource
                               : moves    ? PlannedAction::MoveToTarget
                                          : PlannedAction::CopyToTarget;
  plan_step(PlannedStep{item.name, action, source.path, target.path, 0, true});
}

void SyncLink::remove(bool target_side) {
  if (state != nullptr && item.type != SyncItemType::File) {
    state->defer(PendingDeletion{key, source.path, target.path, target_side, 0, true});
    return;
  }
  if (dry_run) {
    ++count;
    plan_step(PlannedStep{item.name,
                          target_side ? PlannedAction::DeleteTarget : PlannedAction::DeleteSource,
                          source.path, target.path, 0, true});
    return;
  }
  End const& place = target_side ? target : source;
  if (deleted(place.path, *place.side,
              target_side ? "target_delete_failed" : "source_delete_failed"))
    Utilities::log_at(LogLevel::Info, translate("link_removed") + L" " + place.path);
}

void SyncLink::resolve_conflict(Side const& s, Side const& t) {
  if (!item.flags.conflictCopies) {
    std::wstring const text =
        translate("both_modified_not_copied") + L" " + source.path + L" <-> " + target.path;
    bool fresh = false;
    {
      std::lock_guard<std::mutex> const lock(conflicts_mutex);
      fresh = logged_conflicts().insert(target.path).second;
    }
    if (fresh) Utilities::log_at(LogLevel::Error, text);
    report_sync_refusal(text, FileInfoResult::file_conflict);
    return;
  }
  if (blocked_by_directory(t, target)) return;
  if (dry_run) {
    ++count;
    plan_step(PlannedStep{item.name, PlannedAction::ConflictSourceWins, source.path, target.path, 0,
                          true});
    return;
  }
  std::wstring const copy = conflict_copy_name(target.path, *target.side);
  // Never onto a file that took the free name since it was found.
  PlaceFailure failure;
  target.side->rename(target.path, copy, failure);
  FileInfoResult const reason = failure.reason;
  if (reason != 0) {
    std::wstring const text =
        Utilities::FilesystemUtil::make_error_message(reason) + L": " + target.path;
    report_refusal(text, reason);
    return;
  }
  std::size_t const last = copy.rfind(L'/');
  std::wstring const text =
      translate("conflict_copy_made",
                {target.path, last == std::wstring::npos ? copy : copy.substr(last + 1)});
  Utilities::log_at(LogLevel::Warning, text);
  RunContext::note(LogLevel::Warning, text);
  if (create(s.target, s.target_is_dir, target)) carried(s, source, target);
}

}  // namespace KVO_Core
