// One change record per watched item, stamped from the event thread of the watcher's backend
// and read by the controller's due rule. A directory that cannot be watched turns its item back
// into one that runs on its cycle, with one Info line; one that does not exist yet does so only
// until it appears.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace KVO_Core {

// One directory to watch for an item.
struct WatchedDir {
  std::wstring key;  // the item name
  std::string path;  // UTF-8
  bool recursive;    // events anywhere below count; otherwise the folder and its direct entries
};

// Files the service itself writes (log, state, status, locks, proofs, and the staging names of
// its copies). Their events never stamp an item, or a source that holds them would run again
// after every run.
class OwnFiles {
 public:
  // `folders` count with everything below them; `files` also with ".tmp" appended; any name
  // ending in ".kvo-part" counts. Paths are taken in their weakly canonical form.
  OwnFiles(std::vector<std::filesystem::path> const& folders,
           std::vector<std::filesystem::path> const& files);
  OwnFiles() = default;
  bool covers(std::string const& path) const;

 private:
  std::vector<std::string> folders_;
  std::vector<std::string> files_;
};

class ChangeWatcher {
 public:
  using Clock = std::chrono::steady_clock;

  struct Entry {
    bool watched = true;
    std::optional<Clock::time_point> last_change;
    bool waiting = false;            // unwatched only while a directory is missing
    std::vector<std::string> paths;  // its directories, as listed
  };

  class Backend;

  // Change watching exists on this platform.
  static bool available() { return true; }

  // One watched entry per distinct key, then the backend, which has begun watching every
  // directory it could (the others reported through `lost`) when the constructor returns.
  explicit ChangeWatcher(std::vector<WatchedDir> const& dirs, OwnFiles own_files = {});
  // Stops and joins the event thread before the entries go.
  ~ChangeWatcher();
  ChangeWatcher(ChangeWatcher const&) = delete;
  ChangeWatcher& operator=(ChangeWatcher const&) = delete;

  // Stamps the entry with now when it exists and is watched.
  void changed(std::wstring const& key);
  // Stamps every watched entry (events were lost).
  void changed_everywhere();
  // The entry is no longer watched, for good; the first time, Info "watching_unavailable"
  // (key, path).
  void lost(std::wstring const& key, std::string const& path);
  // The same for a directory that does not exist, but the entry may be watched again: see resume.
  void missing(std::wstring const& key, std::string const& path);
  // For an entry unwatched only because directories were missing: starts watching those that
  // exist now. True when that made the entry watched again (Info "watching_changes" for each of
  // its directories); false otherwise, and always for an entry lost for good. Worker thread only.
  bool resume(std::wstring const& key);
  // The entry exists and is watched.
  bool watching(std::wstring const& key) const;
  // The entry's latest change; none without entry or change.
  std::optional<Clock::time_point> last_change(std::wstring const& key) const;
  // Forgets the entry's change when it is older than `t`.
  void clear(std::wstring const& key, Clock::time_point t);

  OwnFiles const& own_files() const { return own_files_; }

 private:
  mutable std::mutex mutex;
  std::map<std::wstring, Entry> entries;
  OwnFiles own_files_;
  std::unique_ptr<Backend> backend;
};

}  // namespace KVO_Core
