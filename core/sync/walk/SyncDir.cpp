#include "core/sync/walk/SyncDir.h"
#include "core/sync/links/SyncLink.h"

#include "core/config/VolumeName.h"
#include "core/run/SyncReport.h"
#include "core/sync/decide/SyncPlan.h"
#include "core/sync/walk/RootAvailability.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace fs = std::filesystem;
using Utilities::LogLevel;
using Utilities::translation::translate;

namespace {

bool special(fs::file_type type) {
  return type != fs::file_type::none && type != fs::file_type::not_found &&
         type != fs::file_type::regular && type != fs::file_type::directory &&
         type != fs::file_type::symlink;
}

}  // namespace

SyncDir::SyncDir(SyncItem const& item, std::uint64_t& count, bool dry_run, SyncState* state,
                 Sides const* sides)
    : SyncBase(item, count, dry_run, state, L"", L"", sides) {}

void SyncDir::operator()() {
  Utilities::log_at(LogLevel::Debug, L"SyncDir::operator()()");
  std::wstring const source = item.source() ? item.source()->path() : std::wstring();
  if (source.empty()) return;
  std::wstring const target = item.target() ? item.target()->path() : std::wstring();
  std::set<std::wstring> names;
  bool finished = false;
  // Nothing below a folder that could not be listed counts as deleted or is forgotten.
  guarded(source, target, [&] {
    if (refused_for_unavailable_root(item, state) ||
        refused_for_empty_remote_root(item, sides, source, target, state) ||
        !create_target_dir_if_not_exist(L"") || !sync_source(source, target, names))
      return;
    if (!stop_requested()) sync_target_only_entries(source, target, item.wildcard, names);
    finish_pass();
    finished = true;
  });
  if (finished) return;
  // The level ended early: its deferred work is dropped and no entry is forgotten.
  if (state) {
    state->take_deletions();
    state->take_dir_removals();
    state->keep_below(L"");
  }
}

bool SyncDir::sync_source(std::wstring const& source, std::wstring const& target,
                          std::set<std::wstring>& names) {
  std::wstring const& wildcard = item.wildcard;
  if (source_side().remote()) {
    // A listing that failed or was cut short (reported by the remote layer) must not make every
    // target file look like one deleted in the source.
    PlaceListing const listing = source_side().list(source);
    if (!listing.complete || sync_abandoned()) return false;
    if (listing.entries.empty() && state && !state->entries.empty() &&
        !state->mass_deletion_confirmed) {
      report_unavailable_root(item, source, state);
      return false;
    }
    for (PlaceEntry const& entry : listing.entries) {
      names.insert(entry.name);
      sync_remote_entry(entry, source, wildcard, target);
      if (stop_requested()) break;
    }
    return true;
  }
  std::wstring const target_dir = target_side().remote() ? target : without_volume_spec(target);
  std::wstring const local_source = without_volume_spec(source);
  for (fs::directory_iterator it(Utilities::to_path(local_source)), end; it != end; ++it) {
    // A name that is not UTF-8 would turn into another name: skipped, and never counted as
    // deleted (it stays out of the names, and the target-only visit skips it as well).
    if (!skip_undecodable(it->path().filename().native(), local_source)) {
      names.insert(Utilities::from_path(it->path().filename()));
      sync_dir_entry(*it, wildcard, target_dir);
    }
    if (stop_requested()) break;
  }
  return true;
}

void SyncBase::sync_dir_entry(fs::directory_entry const& entry, std::wstring const& wildcard,
                              std::wstring const& target_dir) {
  std::wstring const path = Utilities::from_path(entry.path());
  Utilities::log_at(LogLevel::Debug, L"sync_dir_entry: " + path);
  std::error_code own_ec, followed_ec;
  fs::file_type const own = entry.symlink_status(own_ec).type();
  fs::file_status const followed_status = entry.status(followed_ec);
  fs::file_type const followed = followed_ec ? fs::file_type::not_found : followed_status.type();
  bool const as_link = own == fs::file_type::symlink && links_as_links();
  if (followed == fs::file_type::directory && !as_link) return;
  std::wstring const name = Utilities::from_path(entry.path().filename());
  if (name.empty() || leftover_staging(name, path, source_side())) return;
  if ((!wildcard.empty() && followed != fs::file_type::directory &&
       !Utilities::util::wildmatch(name, wildcard)) ||
      is_excluded(name, item.exclusions)) {
    Utilities::log_at(LogLevel::Debug, L"sync_dir_entry: uebersprungen " + name);
    return;
  }
  if (own == fs::file_type::symlink) {
    if (system_link_skipped(path)) return;
  } else if (special(followed) || special(own)) {
    report_sync_hint("special_files_skipped", path);
    return;
  }
  std::wstring const target = child_path(target_dir, name);
  if (as_link) {
    run_link_job(*this, path, target);
    return;
  }
  // A link to a special file is not a file either: never open it.
  if (special(followed)) {
    report_sync_hint("special_files_skipped", path);
    return;
  }
  if (target_usable(target)) sync_file(path, target, wildcard);
}

void SyncDir::sync_remote_entry(PlaceEntry const& entry, std::wstring const& source_dir,
                                std::wstring const& wildcard, std::wstring const& target_dir) {
  Utilities::log_at(LogLevel::Debug, L"sync_ssh_dir_entry: " + entry.name);
  bool const as_link = entry.kind == EntryKind::Link && links_as_links();
  std::wstring const source = child_path(source_dir, entry.name);
  bool const left_out = as_link ? link_filtered(entry.name, source, source_side(), false, wildcard)
                                : filtered(entry, source_dir, wildcard);
  if (left_out) return;
  if (as_link) {
    run_link_job(*this, source, child_path(target_dir, entry.name));
    return;
  }
  sync_file(source, child_path(target_dir, entry.name), wildcard);
}

bool SyncDir::filtered(PlaceEntry const& entry, std::wstring const& source_dir,
                       std::wstring const& wildcard) const {
  if (entry.kind == EntryKind::Other) {
    report_sync_hint("special_files_skipped", source_dir + L"/" + entry.name);
    return true;
  }
  if (entry.kind != EntryKind::File && !followed_file_link(entry, source_dir)) return true;
  if (!wildcard.empty() && !Utilities::util::wildmatch(entry.name, wildcard)) return true;
  return is_excluded(entry.name, item.exclusions);
}

bool SyncDir::followed_file_link(PlaceEntry const& entry, std::wstring const& source_dir) const {
  if (entry.kind != EntryKind::Link || !follows_links()) return false;
  std::optional<EntryInfo> const info = source_side().entry(source_dir + L"/" + entry.name);
  return info && info->resolves && !info->target_is_dir;
}

}  // namespace KVO_Core
