#include "platform/WatchHub.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace platform::detail {
namespace {

// Changes only: reads, opens and closes without writing would make every sync pass trigger the
// next one.
constexpr std::uint32_t WATCH_MASK = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                     IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                     IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
constexpr std::uint32_t SPECIAL_FLAGS = kEventsLost | kRootChanged | kWatchLost | kCoalesced;
constexpr std::size_t MAX_PENDING = 1024;
constexpr auto ROOT_CHECK_INTERVAL = std::chrono::seconds(1);
// One save makes several events (create, modify, close) a few microseconds to milliseconds apart;
// waiting this long before the first delivery keeps them in it instead of in a second delivery
// one latency later, which would restart the item's settle time.
constexpr auto GATHER = std::chrono::milliseconds(50);

std::string join(std::string const& dir, char const* name) {
  return dir == "/" ? dir + name : dir + "/" + name;
}

bool at_or_below(std::string const& path, std::string const& dir) {
  if (path.compare(0, dir.size(), dir) != 0) return false;
  return path.size() == dir.size() || dir == "/" || path[dir.size()] == '/';
}

std::uint32_t flags_of(std::uint32_t mask) {
  std::uint32_t flags = 0;
  if (mask & IN_CREATE) flags |= kCreated;
  if (mask & IN_DELETE) flags |= kRemoved;
  if (mask & (IN_MODIFY | IN_CLOSE_WRITE)) flags |= kModified;
  if (mask & IN_ATTRIB) flags |= kAttributes;
  if (mask & (IN_MOVED_FROM | IN_MOVED_TO)) flags |= kRenamed;
  if (mask & IN_ISDIR) flags |= kIsDirectory;
  return flags;
}

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// The folders directly inside `dir`, links not counted. Nothing when it cannot be listed.
std::vector<std::string> subfolders(std::string const& dir) {
  std::vector<std::string> out;
  std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
  if (!d) return out;
  while (dirent const* e = readdir(d.get())) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    bool is_dir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st {};
      is_dir =
          fstatat(dirfd(d.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (is_dir) out.push_back(join(dir, e->d_name));
  }
  return out;
}

}  // namespace

WatchHub::WatchHub()
    : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      next_root_check_(Clock::now() + ROOT_CHECK_INTERVAL) {}

WatchHub::~WatchHub() = default;

std::uint64_t WatchHub::add_stream(EventStream const& owner, std::string root,
                                   Clock::duration latency, bool recursive,
                                   EventCallback callback) {
  std::lock_guard lock(mutex_);
  std::uint64_t const id = next_id_++;
  Stream& s = streams_[id];
  s.owner = &owner;
  s.root = std::move(root);
  s.latency = latency;
  s.recursive = recursive;
  s.callback = std::move(callback);
  return id;
}

bool WatchHub::start(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  auto it = streams_.find(id);
  if (it == streams_.end() || !fd_) return false;
  Stream& s = it->second;
  if (s.started) return true;
  if (!attach_root(id, s)) return false;
  s.started = true;
  s.searching = false;
  s.lost = false;
  return true;
}

void WatchHub::stop(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  auto it = streams_.find(id);
  if (it == streams_.end()) return;
  Stream& s = it->second;
  release_all(id, s);
  s.started = s.searching = s.lost = false;
  s.pending.clear();
  s.coalesced = false;
  s.due.reset();
}

void WatchHub::remove(std::uint64_t id) {
  stop(id);
  std::lock_guard lock(mutex_);
  streams_.erase(id);
}

WatchHub::Added WatchHub::add_watch(std::uint64_t id, Stream& s, std::string const& dir) {
  int const wd = inotify_add_watch(fd_.get(), dir.c_str(), WATCH_MASK);
  if (wd < 0) return errno == ENOSPC || errno == ENOMEM ? Added::Limit : Added::Skipped;
  Watch& w = watches_[wd];
  // The kernel hands out one descriptor per folder and inotify instance, so a second stream on
  // the same folder shares it.
  if (w.path.empty()) w.path = dir;
  w.users.insert(id);
  s.wds.insert(wd);
  if (dir == s.root) s.root_wd = wd;
  return Added::Yes;
}

bool WatchHub::watch_tree(std::uint64_t id, Stream& s, std::string const& dir) {
  std::vector<std::string> todo{dir};
  while (!todo.empty()) {
    std::string const current = std::move(todo.back());
    todo.pop_back();
    Added const added = add_watch(id, s, current);
    if (added == Added::Limit) return false;
    // A folder that vanished or may not be read is left out; its parent's events still count.
    if (added == Added::Skipped || !s.recursive) continue;
    for (auto& sub : subfolders(current)) todo.push_back(std::move(sub));
  }
  return true;
}

void WatchHub::release(std::uint64_t id, Stream& s, int wd) {
  s.wds.erase(wd);
  if (s.root_wd == wd) s.root_wd = -1;
  auto it = watches_.find(wd);
  if (it == watches_.end()) return;
  it->second.users.erase(id);
  if (it->second.users.empty()) {
    inotify_rm_watch(fd_.get(), wd);
    watches_.erase(it);
  }
}

void WatchHub::release_all(std::uint64_t id, Stream& s) {
  for (int wd : std::set<int>(s.wds)) release(id, s, wd);
}

void WatchHub::release_below(std::uint64_t id, Stream& s, std::string const& dir) {
  for (int wd : std::set<int>(s.wds)) {
    auto it = watches_.find(wd);
    if (it != watches_.end() && wd != s.root_wd && at_or_below(it->second.path, dir))
      release(id, s, wd);
  }
}

bool WatchHub::attach_root(std::uint64_t id, Stream& s) {
  struct stat st {};
  if (lstat(s.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (!watch_tree(id, s, s.root) || s.root_wd < 0) {
    release_all(id, s);
    return false;
  }
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  return true;
}

void WatchHub::root_gone(std::uint64_t id, Stream& s) {
  release_all(id, s);
  s.searching = true;
  queue(s, Event{s.root, kRootChanged});
}

void WatchHub::watch_limit_reached(std::uint64_t id, Stream& s) {
  release_all(id, s);
  s.searching = false;
  s.lost = true;
  queue(s, Event{s.root, kWatchLost});
}

void WatchHub::queue(Stream& s, Event event) {
  bool const special = (event.flags & SPECIAL_FLAGS) != 0;
  if (!special && !s.pending.empty() && s.pending.back().path == event.path &&
      s.pending.back().flags == event.flags) {
    // the same change again: nothing new to say
  } else if (!special && s.pending.size() >= MAX_PENDING) {
    s.coalesced = true;
  } else {
    s.pending.push_back(std::move(event));
  }
  if (!s.due) {
    Clock::time_point const now = Clock::now();
    s.due = s.last_delivery ? std::max(now + GATHER, *s.last_delivery + s.latency) : now + GATHER;
  }
}

void WatchHub::handle(::inotify_event const& ev, bool& overflowed) {
  if (ev.mask & IN_Q_OVERFLOW) {
    overflowed = true;
    for (auto& [id, s] : streams_)
      if (s.started && !s.searching && !s.lost) queue(s, Event{s.root, kEventsLost});
    return;
  }
  auto it = watches_.find(ev.wd);
  if (it == watches_.end()) return;
  std::string const dir = it->second.path;
  std::set<std::uint64_t> const users = it->second.users;

  if (ev.mask & IN_IGNORED) {
    // The kernel dropped the watch (folder deleted, or its file system unmounted).
    for (std::uint64_t id : users) {
      Stream& s = streams_.at(id);
      bool const was_root = s.root_wd == ev.wd;
      s.wds.erase(ev.wd);
      if (was_root) {
        s.root_wd = -1;
        if (s.started && !s.searching && !s.lost) root_gone(id, s);
      }
    }
    watches_.erase(ev.wd);
    return;
  }

  std::string const path = ev.len > 0 && ev.name[0] != '\0' ? join(dir, ev.name) : dir;
  bool const self = (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0;
  for (std::uint64_t id : users) {
    auto sit = streams_.find(id);
    if (sit == streams_.end()) continue;
    Stream& s = sit->second;
    if (!s.started || s.searching || s.lost) continue;
    if (self) {
      // A folder below the root that goes away was already reported by its parent.
      if (ev.wd == s.root_wd) root_gone(id, s);
      continue;
    }
    queue(s, Event{path, flags_of(ev.mask)});
    if (!s.recursive || !(ev.mask & IN_ISDIR)) continue;
    if (ev.mask & (IN_CREATE | IN_MOVED_TO)) {
      // It may already hold folders (moved in, or filled before the watch was added).
      if (!watch_tree(id, s, path)) watch_limit_reached(id, s);
    } else if (ev.mask & IN_MOVED_FROM) {
      release_below(id, s, path);
    }
  }
}

void WatchHub::read_events() {
  std::lock_guard lock(mutex_);
  if (!fd_) return;
  alignas(inotify_event) char buffer[64 * 1024];
  bool overflowed = false;
  for (;;) {
    ssize_t const n = ::read(fd_.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    for (char const* p = buffer; p < buffer + n;) {
      auto const* ev = reinterpret_cast<inotify_event const*>(p);
      handle(*ev, overflowed);
      p += sizeof(inotify_event) + ev->len;
    }
  }
  if (!overflowed) return;
  // Folders created while events were dropped have no watch yet.
  for (auto& [id, s] : streams_) {
    if (s.started && !s.searching && !s.lost && s.recursive && !watch_tree(id, s, s.root))
      watch_limit_reached(id, s);
  }
}

void WatchHub::check_roots(Clock::time_point now) {
  if (now < next_root_check_) return;
  next_root_check_ = now + ROOT_CHECK_INTERVAL;
  for (auto& [id, s] : streams_) {
    if (!s.started || s.lost) continue;
    if (s.searching) {
      if (attach_root(id, s)) {
        s.searching = false;
        queue(s, Event{s.root, kRootChanged | kCreated});
      }
      continue;
    }
    // Also catches a folder above the root that was renamed, which the root's watch never sees.
    struct stat st {};
    if (lstat(s.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != s.dev ||
        st.st_ino != s.ino)
      root_gone(id, s);
  }
}

void WatchHub::deliver(Clock::time_point now) {
  for (auto& [id, s] : streams_) {
    if (!s.due || *s.due > now) continue;
    std::vector<Event> events = std::move(s.pending);
    s.pending.clear();
    if (s.coalesced) events.push_back(Event{s.root, kCoalesced});
    s.coalesced = false;
    s.due.reset();
    s.last_delivery = now;
    if (!events.empty() && s.callback) s.callback(*s.owner, events);
  }
}

void WatchHub::tick() {
  std::lock_guard lock(mutex_);
  Clock::time_point const now = Clock::now();
  check_roots(now);
  deliver(now);
}

Clock::time_point WatchHub::next_deadline() {
  std::lock_guard lock(mutex_);
  Clock::time_point next = next_root_check_;
  for (auto const& [id, s] : streams_)
    if (s.due) next = std::min(next, *s.due);
  return next;
}

}  // namespace platform::detail
