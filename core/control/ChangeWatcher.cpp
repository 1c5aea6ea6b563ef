#include "core/control/ChangeWatcher.h"

#include <system_error>

#include "core/config/SyncItem.h"
#include "core/control/ChangeWatcherBackend.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

std::string weakly_canonical_text(std::filesystem::path const& p) {
  std::error_code ec;
  std::filesystem::path const c = std::filesystem::weakly_canonical(p, ec);
  return (ec ? p : c).lexically_normal().string();
}

bool at_or_below(std::string const& path, std::string const& dir) {
  if (dir.empty() || path.compare(0, dir.size(), dir) != 0) return false;
  return path.size() == dir.size() || dir.back() == '/' || path[dir.size()] == '/';
}

void log_watching(char const* message_id, std::wstring const& key, std::string const& path) {
  Utilities::log_at(Utilities::LogLevel::Info,
                    Utilities::translation::translate(
                        message_id, {key, Utilities::util::string_to_wstring(path)}));
}

}  // namespace

OwnFiles::OwnFiles(std::vector<std::filesystem::path> const& folders,
                   std::vector<std::filesystem::path> const& files) {
  for (auto const& f : folders)
    if (!f.empty()) folders_.push_back(weakly_canonical_text(f));
  for (auto const& f : files)
    if (!f.empty()) files_.push_back(weakly_canonical_text(f));
}

bool OwnFiles::covers(std::string const& path) const {
  // A copy being staged is never synchronised, and a copy that fails verification (a log written
  // while it is copied) leaves nothing but these events behind.
  std::string const name = std::filesystem::path(path).filename().string();
  if (is_excluded(Utilities::util::string_to_wstring(name), Exclusions{})) return true;
  for (auto const& folder : folders_)
    if (at_or_below(path, folder)) return true;
  for (auto const& file : files_)
    if (path == file || path == file + ".tmp") return true;
  return false;
}

ChangeWatcher::ChangeWatcher(std::vector<WatchedDir> const& dirs, OwnFiles own_files)
    : own_files_(std::move(own_files)) {
  for (WatchedDir const& dir : dirs) entries[dir.key].paths.push_back(dir.path);
  backend = std::make_unique<Backend>(*this, dirs);
}

ChangeWatcher::~ChangeWatcher() { backend.reset(); }

void ChangeWatcher::changed(std::wstring const& key) {
  std::lock_guard lock(mutex);
  auto it = entries.find(key);
  if (it != entries.end() && it->second.watched) it->second.last_change = Clock::now();
}

void ChangeWatcher::changed_everywhere() {
  std::lock_guard lock(mutex);
  Clock::time_point const now = Clock::now();
  for (auto& [key, entry] : entries)
    if (entry.watched) entry.last_change = now;
}

void ChangeWatcher::lost(std::wstring const& key, std::string const& path) {
  {
    std::lock_guard lock(mutex);
    auto it = entries.find(key);
    if (it == entries.end()) return;
    it->second.waiting = false;
    if (!it->second.watched) return;
    it->second.watched = false;
  }
  log_watching("watching_unavailable", key, path);
}

void ChangeWatcher::missing(std::wstring const& key, std::string const& path) {
  {
    std::lock_guard lock(mutex);
    auto it = entries.find(key);
    if (it == entries.end() || !it->second.watched) return;
    it->second.watched = false;
    it->second.waiting = true;
  }
  log_watching("watching_unavailable", key, path);
}

bool ChangeWatcher::resume(std::wstring const& key) {
  {
    std::lock_guard lock(mutex);
    auto it = entries.find(key);
    if (it == entries.end() || !it->second.waiting) return false;
  }
  // Without the lock: the event thread stamps entries while it holds the loop's lock.
  if (!backend->resume(key)) return false;
  std::vector<std::string> paths;
  {
    std::lock_guard lock(mutex);
    Entry& entry = entries[key];
    if (!entry.waiting) return false;  // a stream was lost meanwhile
    entry.waiting = false;
    entry.watched = true;
    paths = entry.paths;
  }
  for (std::string const& path : paths) log_watching("watching_changes", key, path);
  return true;
}

bool ChangeWatcher::watching(std::wstring const& key) const {
  std::lock_guard lock(mutex);
  auto it = entries.find(key);
  return it != entries.end() && it->second.watched;
}

std::optional<ChangeWatcher::Clock::time_point> ChangeWatcher::last_change(
    std::wstring const& key) const {
  std::lock_guard lock(mutex);
  auto it = entries.find(key);
  if (it == entries.end()) return std::nullopt;
  return it->second.last_change;
}

void ChangeWatcher::clear(std::wstring const& key, Clock::time_point t) {
  std::lock_guard lock(mutex);
  auto it = entries.find(key);
  if (it != entries.end() && it->second.last_change && *it->second.last_change < t)
    it->second.last_change.reset();
}

}  // namespace KVO_Core
