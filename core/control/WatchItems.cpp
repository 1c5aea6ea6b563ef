#include "core/control/WatchItems.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <utility>

#include "core/config/Config.h"
#include "core/config/StateLocation.h"
#include "core/config/StatusFile.h"
#include "core/config/VolumeName.h"
#include "core/control/BackupProof.h"
#include "core/control/SyncArbiter.h"
#include "utilities/Links.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

namespace fs = std::filesystem;
using Utilities::symlink_util::FollowRefusal;
using Utilities::symlink_util::LinkTrail;

void collect_links(fs::path const& dir, LinkTrail& trail, std::vector<fs::path>& out) {
  std::error_code ec;
  fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    fs::directory_entry const& entry = *it;
    std::error_code kind_ec;
    if (!entry.is_directory(kind_ec)) continue;
    if (entry.is_symlink(kind_ec)) {
      if (trail.refusal(entry.path()) != FollowRefusal::none) continue;
      fs::path const target = fs::canonical(entry.path(), kind_ec);
      if (kind_ec) continue;
      if (std::find(out.begin(), out.end(), target) == out.end()) out.push_back(target);
      trail.enter_link(target);
      collect_links(target, trail, out);
      trail.leave();
    } else {
      trail.enter_directory(entry.path().filename());
      collect_links(entry.path(), trail, out);
      trail.leave();
    }
  }
}

bool inside(fs::path const& path, fs::path const& root) {
  return std::mismatch(root.begin(), root.end(), path.begin(), path.end()).first == root.end();
}

fs::path normal_form(fs::path const& p) {
  std::error_code ec;
  fs::path const c = fs::weakly_canonical(p, ec);
  fs::path result = (ec ? p : c).lexically_normal();
  if (!result.has_filename() && result.has_relative_path()) result = result.parent_path();
  return result;
}

// The local folder of a side, none for a remote one.
std::optional<fs::path> local_folder(std::unique_ptr<SyncPath> const& side) {
  if (!side || side->kind == SyncPath::Ssh) return std::nullopt;
  return normal_form(Utilities::to_path(without_volume_spec(side->path())));
}

// Each run copies what lies inside one side of a folder item to the other side, the service's
// own files too; those copies change with every run that changed the files, so their events
// must not stamp the item either.
void add_copies(std::vector<fs::path>& paths, std::vector<SyncItem> const& items) {
  std::vector<fs::path> const own = paths;
  for (SyncItem const& item : items) {
    if (!item.flags.enabled || !item.flags.watchChanges ||
        item.sync_item_type() == SyncItemType::File)
      continue;
    auto const source = local_folder(item.source());
    auto const target = local_folder(item.target());
    if (!source || !target) continue;
    for (fs::path const& p : own) {
      fs::path const path = normal_form(p);
      for (auto const& [from, to] : {std::pair(*source, *target), std::pair(*target, *source)}) {
        fs::path const relative = path.lexically_relative(from);
        if (relative.empty() || *relative.begin() == "..") continue;
        paths.push_back(relative == "." ? to : to / relative);
      }
    }
  }
}

}  // namespace

std::vector<fs::path> directories_behind_links(fs::path const& directory) {
  std::error_code ec;
  fs::path const root = fs::canonical(directory, ec);
  if (ec) return {};
  std::vector<fs::path> found;
  LinkTrail trail = LinkTrail::of_resolved(root);
  collect_links(root, trail, found);
  std::erase_if(found, [&root](fs::path const& p) { return inside(p, root); });
  return found;
}

void watch_side(std::vector<WatchedDir>& list, SyncItem const& item, std::wstring const& side_path,
                bool remote, bool follow) {
  if (remote) return;
  std::string const p = Utilities::util::wstring_to_string(without_volume_spec(side_path));
  bool const tree = item.sync_item_type() == SyncItemType::Tree;
  if (item.sync_item_type() == SyncItemType::File) {
    std::string parent = fs::path(p).parent_path().string();
    list.push_back({item.name, parent.empty() ? std::string(".") : parent, false});
  } else {
    list.push_back({item.name, p, tree});
  }
  if (!follow || !tree) return;
  for (fs::path const& d : directories_behind_links(fs::path(p)))
    list.push_back({item.name, d.string(), true});
}

std::vector<WatchedDir> watched_directories(std::vector<SyncItem> const& items) {
  std::vector<WatchedDir> list;
  for (SyncItem const& item : items) {
    if (!item.flags.enabled || !item.flags.watchChanges) continue;
    bool const follow = item.flags.symlinks == SymlinkMode::Follow && !item.flags.twoWaySync &&
                        !item.flags.delAftercopy;
    if (auto const& side = item.source())
      watch_side(list, item, side->path(), side->kind == SyncPath::Ssh, follow);
    if (auto const& side = item.target())
      watch_side(list, item, side->path(), side->kind == SyncPath::Ssh, false);
  }
  return list;
}

OwnFiles own_service_files(std::vector<SyncItem> const& items, Settings const& settings) {
  fs::path const state = sync_state_dir();
  fs::path const data = state.parent_path();
  std::vector<fs::path> files{
      Utilities::to_path(Utilities::Logging::instance().get_log_file_path_name()),
      SyncArbiter::lock_path(SyncRole::Foreground),
      SyncArbiter::lock_path(SyncRole::Background),
  };
  for (char const* name :
       {"devicelink.lock", "devicelink.port", "devices.presence", "pairing.done", "pairing.token"})
    files.push_back(data / name);
  if (!settings.BackupProofPath.empty()) {
    fs::path const folder = Utilities::to_path(settings.BackupProofPath);
    for (SyncItem const& item : items)
      if (item.flags.backupProof) files.push_back(copy_log_file_path(folder, item.name));
  }
  std::vector<fs::path> folders{state, item_status::status_dir()};
  add_copies(folders, items);
  add_copies(files, items);
  return OwnFiles(folders, files);
}

std::unique_ptr<ChangeWatcher> watch_items(std::vector<SyncItem> const& items,
                                           Settings const& settings) {
  std::vector<WatchedDir> const dirs = watched_directories(items);
  if (dirs.empty()) return nullptr;
  auto watcher = std::make_unique<ChangeWatcher>(dirs, own_service_files(items, settings));
  for (WatchedDir const& dir : dirs) {
    if (!watcher->watching(dir.key)) continue;
    Utilities::log_at(
        Utilities::LogLevel::Info,
        Utilities::translation::translate("watching_changes",
                                          {dir.key, Utilities::util::string_to_wstring(dir.path)}));
  }
  return watcher;
}

std::unique_ptr<ChangeWatcher> watch_items() {
  if (!ChangeWatcher::available()) return nullptr;
  Config* config = Config::instance();
  return watch_items(config->syncitems(), config->settings.get());
}

}  // namespace KVO_Core
