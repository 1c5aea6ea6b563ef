#include "core/sync/walk/SyncTree.h"

#include <fcntl.h>

#include <cerrno>

#include "core/config/VolumeName.h"
#include "core/run/RunContext.h"
#include "core/run/SyncReport.h"
#include "core/sync/walk/RootAvailability.h"
#include "core/sync/walk/RootOverlap.h"
#include "platform/FileDescriptor.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/StagingFiles.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace fs = std::filesystem;
using Utilities::LogLevel;
using Utilities::translation::translate;

namespace {

bool ends_with(std::wstring const& text, std::wstring const& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

platform::FileDescriptor open_folder(std::wstring const& path, Place const& side) {
  if (side.remote()) return {};
  try {
    return platform::FileDescriptor(
        ::open(Utilities::to_path(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  } catch (...) {
    return {};  // the file jobs look along the whole path then
  }
}

void open_pair(OpenFolders& pair, Place const& source_side, Place const& target_side) {
  pair.source = open_folder(*pair.source_dir, source_side);
  pair.target = open_folder(*pair.target_dir, target_side);
}

// Holds the folder pair open for the file jobs of its entries while its entries are synced.
// Only the innermost pair is open, so a deep tree holds two descriptors: the enclosing pair is
// closed meanwhile and opened again when this one ends.
class FolderScope {
 public:
  FolderScope(SyncBase& walk, std::wstring const& source_dir, std::wstring const& target_dir)
      : walk_(walk), enclosing_(walk.folders) {
    if (enclosing_) {
      enclosing_->source.close();
      enclosing_->target.close();
    }
    open_.source_dir = &source_dir;
    open_.target_dir = &target_dir;
    open_pair(open_, walk.source_side(), walk.target_side());
    walk_.folders = &open_;
  }
  ~FolderScope() {
    walk_.folders = enclosing_;
    if (enclosing_) open_pair(*enclosing_, walk_.source_side(), walk_.target_side());
  }
  FolderScope(FolderScope const&) = delete;
  FolderScope& operator=(FolderScope const&) = delete;

 private:
  SyncBase& walk_;
  OpenFolders* enclosing_;
  OpenFolders open_;
};

}  // namespace

SyncTree::SyncTree(SyncItem const& item, std::uint64_t& count, bool dry_run, SyncState* state,
                   Sides const* sides)
    : SyncBase(item, count, dry_run, state, L"", L"", sides) {}

void SyncTree::operator()() {
  Utilities::log_at(LogLevel::Debug, L"SyncTree::operator()()");
  if (source_root.empty()) return;
  // A side that looks unmounted must not make every remembered entry look deleted.
  if (refused_for_unavailable_root(item, state) ||
      refused_for_empty_remote_root(item, sides, source_root, target_root, state))
    return;
  if (follows_links()) start_trail();
  sync_tree(source_root, target_root, item.wildcard, DirState::Both);
  finish_pass();
}

void SyncTree::sync_tree(std::wstring const& source_dir, std::wstring const& target_dir,
                         std::wstring const& wildcard, DirState dir_state) {
  Utilities::log_at(LogLevel::Debug, L"sync_tree: " + source_dir + L" -> " + target_dir);
  if (RunContext::stopping()) return;
  try {
    if (!prepare(source_dir, target_dir, dir_state)) return;
    bool const two_way = item.flags.twoWaySync;
    Names const target_dirs =
        two_way && dir_state != DirState::SourceNew && dir_state != DirState::TargetDeleted
            ? list_target_dirs(target_dir)
            : Names();
    Names source_names;
    {
      FolderScope const open(*this, source_dir, target_dir);
      if (dir_state != DirState::TargetNew && dir_state != DirState::SourceDeleted)
        source_names = sync_entries(source_dir, target_dir, wildcard, target_dirs);
      if (RunContext::stopping()) return;
      if (dir_state != DirState::SourceNew && dir_state != DirState::TargetDeleted) {
        sync_target_only_entries(source_dir, target_dir, wildcard, source_names);
        if (links_as_links())
          sync_target_only_links(source_dir, target_dir, wildcard, source_names);
      }
    }
    sync_target_only_dirs(source_dir, target_dir, wildcard, source_names, target_dirs);
    if (!RunContext::stopping()) settle(source_dir, target_dir, dir_state);
    return;
  } catch (ListingFailed const&) {
    // Reported by the listing itself.
  } catch (fs::filesystem_error const& e) {
    report_failure(source_dir, e);
  } catch (std::exception const& e) {
    std::wstring const message = Utilities::util::string_to_wstring(e.what());
    Utilities::log_at(LogLevel::Error, source_dir, target_dir, message);
    report_sync_error(source_dir + L": " + message);
  } catch (...) {
    Utilities::log_at(LogLevel::Error, source_dir, target_dir,
                      std::wstring(L" - ") + translate("unknown_error"));
    report_sync_error(translate("unknown_error_for") + source_dir);
  }
  // Nothing below a pair that failed counts as gone: its remembered entries stay.
  if (state) state->keep_below(source_dir == source_root ? std::wstring() : state_key(source_dir));
}

bool SyncTree::prepare(std::wstring const& source_dir, std::wstring const& target_dir,
                       DirState dir_state) {
  if (dir_state == DirState::Both || dir_state == DirState::SourceNew)
    return create_target_dir_if_not_exist(target_dir);
  if (dir_state == DirState::TargetNew) return create_source_dir(source_dir);
  return true;
}

std::vector<SyncTree::Entry> SyncTree::list_source(std::wstring const& source_dir) const {
  std::vector<Entry> entries;
  if (source_side().remote()) {
    PlaceListing listing = source_side().list(source_dir);
    if (!listing.complete) throw ListingFailed(source_dir);
    for (PlaceEntry& remote : listing.entries)
      entries.push_back({std::move(remote.name), remote.kind == EntryKind::Directory,
                         remote.kind == EntryKind::File, remote.kind == EntryKind::Link});
    return entries;
  }
  fs::path const directory =
      Utilities::to_path(Utilities::util::with_trailing_char(source_dir, L'/'));
  for (fs::directory_iterator it(directory), end; it != end; ++it) {
    // A name that is not UTF-8 cannot be named safely on the other side: skipped and reported.
    if (skip_undecodable(it->path().filename().native(), source_dir)) continue;
    Entry entry;
    entry.name = Utilities::from_path(it->path().filename());
    // The listing's own type answers for all but links, which are followed.
    std::error_code ec;
    entry.is_dir = it->is_directory(ec);
    entry.is_regular = !ec && it->is_regular_file(ec);
    std::error_code own_ec;
    entry.is_link = it->is_symlink(own_ec) ||
                    (entry.is_dir && junction_as_link(Utilities::from_path(it->path())));
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool SyncTree::junction_as_link(std::wstring const& path) const {
  fs::path const p = Utilities::to_path(path);
  return Utilities::symlink_util::junction(p) && (item.flags.symlinks != SymlinkMode::FileContent ||
                                                  Utilities::symlink_util::system_link(p));
}

SyncTree::Names SyncTree::list_target_dirs(std::wstring const& target_dir) const {
  Names names;
  if (target_side().remote()) {
    PlaceListing const listing = target_side().list(target_dir);
    if (!listing.complete) throw ListingFailed(target_dir);
    for (PlaceEntry const& remote : listing.entries)
      if (remote.kind == EntryKind::Directory) names.insert(remote.name);
    return names;
  }
  std::error_code ec;
  fs::directory_iterator it(Utilities::to_path(target_dir), ec);
  for (fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
    if (skip_undecodable(it->path().filename().native(), target_dir)) continue;
    std::error_code own_ec, followed_ec;
    if (!it->is_symlink(own_ec) && it->is_directory(followed_ec))
      names.insert(Utilities::from_path(it->path().filename()));
  }
  if (ec && ec.value() != ENOENT)
    throw fs::filesystem_error("target directory cannot be listed", Utilities::to_path(target_dir),
                               ec);
  return names;
}

SyncTree::Names SyncTree::sync_entries(std::wstring const& source_dir,
                                       std::wstring const& target_dir, std::wstring const& wildcard,
                                       Names const& target_dirs) {
  Names names;
  std::vector<Entry> const entries = list_source(source_dir);
  std::optional<ReadAhead::Folder> ahead;
  if (read_ahead)
    ahead.emplace(*read_ahead, source_dir, target_dir, files_to_read(entries, wildcard));
  for (std::size_t position = 0; position < entries.size(); ++position) {
    if (ahead) ahead->reach(position);
    names.insert(entries[position].name);
    sync_entry(entries[position], source_dir, target_dir, wildcard, target_dirs);
    if (RunContext::stopping()) break;
  }
  return names;
}

std::vector<ReadAhead::File> SyncTree::files_to_read(std::vector<Entry> const& entries,
                                                     std::wstring const& wildcard) const {
  std::vector<ReadAhead::File> files;
  for (std::size_t position = 0; position < entries.size(); ++position) {
    Entry const& entry = entries[position];
    if (entry.is_regular && !entry.is_link && file_wanted(entry.name, wildcard) &&
        !Utilities::staging::staging_name(entry.name))
      files.push_back({position, entry.name});
  }
  return files;
}

bool SyncTree::file_wanted(std::wstring const& name, std::wstring const& wildcard) const {
  return (wildcard.empty() || Utilities::util::wildmatch(name, wildcard)) &&
         !is_excluded(name, item.exclusions);
}

void SyncTree::sync_entry(Entry const& entry, std::wstring const& source_dir,
                          std::wstring const& target_dir, std::wstring const& wildcard,
                          Names const& target_dirs) {
  std::wstring const path = child_path(source_dir, entry.name);
  if (leftover_staging(entry.name, path, source_side())) return;
  if (entry.is_link) {
    // A staging link left by an interrupted placement is ours, not the user's.
    if (ends_with(entry.name, L".kvo-link")) return;
    if (system_link_skipped(path)) return;
    if (links_as_links()) {
      sync_link_entry(entry, path, target_dir, wildcard);
    } else if (trail) {
      follow_link_entry(entry, path, source_dir, target_dir, wildcard, target_dirs);
    } else if (entry.is_regular) {
      sync_file_entry(entry.name, source_dir, target_dir, wildcard);
    } else {
      Utilities::log_at(LogLevel::Info, translate("symlink_not_followed") + L" " + path);
    }
    return;
  }
  if (entry.is_dir) {
    sync_subtree(entry.name, source_dir, target_dir, wildcard, target_dirs);
  } else if (entry.is_regular) {
    sync_file_entry(entry.name, source_dir, target_dir, wildcard);
  } else if (special_file(path)) {
    report_sync_hint("special_files_skipped", path);
  }
}

bool SyncTree::special_file(std::wstring const& path) const {
  if (source_side().remote()) return true;
  std::error_code ec;
  fs::file_type const type = fs::symlink_status(Utilities::to_path(path), ec).type();
  return type != fs::file_type::none && type != fs::file_type::not_found &&
         type != fs::file_type::regular && type != fs::file_type::directory &&
         type != fs::file_type::symlink;
}

bool SyncTree::is_target_root(std::wstring const& source) const {
  if (source_side().remote() || target_side().remote()) return false;
  return same_file(Utilities::to_path(source), Utilities::to_path(target_root));
}

bool SyncTree::target_dir_usable(std::wstring const& target) {
  if (links_as_links() || follows_links()) return target_usable(target);
  if (!target_is_link(target)) return true;
  // Never walk through a target-side link: it may lead out of the item's tree.
  if (!dry_run && item.flags.syncDeletions && link_removed(target)) {
    Utilities::log_at(LogLevel::Info, translate("target_link_replaced"), target);
    return true;
  }
  Utilities::log_at(LogLevel::Error, translate("target_is_link"), target);
  report_sync_error(translate("target_is_link") + target);
  return false;
}

void SyncTree::sync_subtree(std::wstring const& name, std::wstring const& source_dir,
                            std::wstring const& target_dir, std::wstring const& wildcard,
                            Names const& target_dirs) {
  if (is_excluded(name, item.exclusions)) {
    Utilities::log_at(LogLevel::Debug, L"Ausgeschlossenes Verzeichnis wird uebersprungen: " + name);
    return;
  }
  std::wstring const source = child_path(source_dir, name);
  if (is_target_root(source)) return;
  std::wstring const target = child_path(target_dir, name);
  if (!target_dir_usable(target)) return;
  DirState const dir_state = subtree_state(name, source_dir, target_dirs);
  if (!trail) {
    sync_tree(source, target, wildcard, dir_state);
    return;
  }
  trail->enter_directory(Utilities::to_path(name));
  try {
    sync_tree(source, target, wildcard, dir_state);
  } catch (...) {
    trail->leave();
    throw;
  }
  trail->leave();
}

void SyncTree::sync_file_entry(std::wstring const& name, std::wstring const& source_dir,
                               std::wstring const& target_dir, std::wstring const& wildcard) {
  if (!file_wanted(name, wildcard)) return;
  std::wstring const target = child_path(target_dir, name);
  if (!target_usable(target)) return;
  sync_file(child_path(source_dir, name), target, wildcard);
}

SyncTree::DirState SyncTree::subtree_state(std::wstring const& name, std::wstring const& source_dir,
                                           Names const& target_dirs) const {
  if (!item.flags.twoWaySync || target_dirs.count(name) > 0) return DirState::Both;
  return known_below(child_path(source_dir, name)) ? DirState::TargetDeleted : DirState::SourceNew;
}

bool SyncTree::known_below(std::wstring const& source_path) const {
  return state != nullptr && state->knows_below(state_key(source_path));
}

void SyncTree::settle(std::wstring const& source_dir, std::wstring const& target_dir,
                      DirState dir_state) {
  if (state == nullptr) return;
  if (dir_state == DirState::SourceDeleted)
    state->defer(PendingDirRemoval{target_dir, true});
  else if (dir_state == DirState::TargetDeleted)
    state->defer(PendingDirRemoval{source_dir, false});
}

void SyncTree::sync_target_only_dirs(std::wstring const& source_dir, std::wstring const& target_dir,
                                     std::wstring const& wildcard, Names const& source_names,
                                     Names const& target_dirs) {
  for (std::wstring const& name : target_dirs) {
    if (source_names.count(name) > 0 || is_excluded(name, item.exclusions)) continue;
    std::wstring const source = child_path(source_dir, name);
    DirState const dir_state = known_below(source) ? DirState::SourceDeleted : DirState::TargetNew;
    sync_tree(source, child_path(target_dir, name), wildcard, dir_state);
    if (RunContext::stopping()) break;
  }
}

}  // namespace KVO_Core
