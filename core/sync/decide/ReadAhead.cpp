#include "core/sync/decide/ReadAhead.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "core/sync/SyncBase.h"
#include "core/sync/decide/SettledPairs.h"

namespace KVO_Core {

namespace {

// A file changed within the same tick of the change-time clock as a reading could change again
// unseen by its stamps after that reading: such a pair is left to the controller's own reading.
constexpr std::chrono::seconds QUIET_TIME{1};

}  // namespace

ReadAhead::Folder::Folder(ReadAhead& owner, std::wstring source_dir, std::wstring target_dir,
                          std::vector<File> files)
    : owner_(owner), source_dir_(std::move(source_dir)), target_dir_(std::move(target_dir)) {
  slots_.reserve(files.size());
  for (File& file : files) {
    Slot& slot = slots_.emplace_back();
    slot.position = file.position;
    slot.name = std::move(file.name);
  }
  if (!slots_.empty()) owner_.start_workers();
  std::unique_lock lock(owner_.mutex_);
  enclosing_ = owner_.current_;
  owner_.current_ = this;
  owner_.work_.notify_all();
  if (!owner_.options_.folder_read) return;
  if (!owner_.workers_.empty())
    owner_.read_.wait(lock, [this] { return next_ >= slots_.size() && in_flight_ == 0; });
  lock.unlock();
  try {
    owner_.options_.folder_read(source_dir_);
  } catch (...) {
    leave();  // no destructor runs for an object whose constructor threw
    throw;
  }
}

ReadAhead::Folder::~Folder() { leave(); }

void ReadAhead::Folder::leave() {
  std::unique_lock lock(owner_.mutex_);
  for (Slot& slot : slots_)
    if (slot.state == State::Pending) slot.state = State::Dropped;
  // A worker still reading one of these slots writes into it when done.
  owner_.read_.wait(lock, [this] { return in_flight_ == 0; });
  owner_.current_ = enclosing_;
  owner_.work_.notify_all();
}

void ReadAhead::Folder::reach(std::size_t position) {
  std::lock_guard lock(owner_.mutex_);
  reached_ = position;
  std::size_t moved = 0;
  for (; cursor_ < slots_.size() && slots_[cursor_].position < position; ++cursor_, ++moved) {
    Slot& slot = slots_[cursor_];
    if (slot.state == State::Reading) continue;  // its worker still uses the name
    slot.state = State::Dropped;
    slot.name = {};
    slot.source = {};
    slot.target = {};
  }
  // Idle workers are woken once half the window is free again, not for every step: a wake-up
  // per file costs the controller more than the reading it saves.
  std::size_t const window = owner_.options_.window;
  if (moved > 0 && owner_.idle_ > 0 && next_ < slots_.size() &&
      next_ <= cursor_ + window - window / 2)
    owner_.work_.notify_all();
}

ReadAhead::ReadAhead(Options options) : options_(std::move(options)) {}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  work_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

ReadAhead::Options ReadAhead::defaults() {
  Options options;
  options.workers = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  return options;
}

std::optional<ReadAhead::Reading> ReadAhead::take(std::wstring const& source,
                                                  std::wstring const& target,
                                                  ChangeStamp const& source_stamp,
                                                  ChangeStamp const& target_stamp) {
  std::unique_lock lock(mutex_);
  Folder* const folder = current_;
  if (folder == nullptr || folder->cursor_ >= folder->slots_.size()) return std::nullopt;
  Folder::Slot& slot = folder->slots_[folder->cursor_];
  if (slot.position != folder->reached_) return std::nullopt;
  read_.wait(lock, [&slot] { return slot.state != Folder::State::Reading; });
  bool const usable = slot.state == Folder::State::Read && slot.equal && slot.source == source &&
                      slot.target == target && slot.reading.source == source_stamp &&
                      slot.reading.target == target_stamp;
  slot.state = Folder::State::Dropped;
  if (!usable) return std::nullopt;
  ++taken_;
  return slot.reading;
}

std::uint64_t ReadAhead::pairs_read() const {
  std::lock_guard lock(mutex_);
  return read_pairs_;
}

std::uint64_t ReadAhead::readings_taken() const {
  std::lock_guard lock(mutex_);
  return taken_;
}

void ReadAhead::start_workers() {
  if (!workers_.empty() || options_.workers == 0) return;
  try {
    for (unsigned i = 0; i < options_.workers; ++i) workers_.emplace_back([this] { work(); });
  } catch (std::system_error const&) {
    // Fewer workers, or none: the controller reads what they do not.
  }
}

ReadAhead::Folder::Slot* ReadAhead::next_slot(Folder*& folder) {
  folder = current_;
  if (folder == nullptr) return nullptr;
  std::vector<Folder::Slot>& slots = folder->slots_;
  std::size_t const limit = options_.folder_read
                                ? slots.size()
                                : std::min(slots.size(), folder->cursor_ + options_.window);
  std::size_t index = std::max(folder->next_, folder->cursor_);
  while (index < limit && slots[index].state != Folder::State::Pending) ++index;
  if (index >= limit) return nullptr;
  folder->next_ = index + 1;
  return &slots[index];
}

void ReadAhead::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    Folder* folder = nullptr;
    Folder::Slot* slot = nullptr;
    while (!quit_ && (slot = next_slot(folder)) == nullptr) {
      ++idle_;
      work_.wait(lock);
      --idle_;
    }
    if (quit_) return;
    slot->state = Folder::State::Reading;
    ++folder->in_flight_;
    lock.unlock();
    std::wstring source;
    std::wstring target;
    bool equal = false;
    bool compared = false;
    Reading reading;
    try {
      compared = read(*folder, *slot, source, target, equal, reading);
    } catch (...) {
      equal = false;  // the controller reads the pair itself
    }
    lock.lock();
    if (compared) ++read_pairs_;
    slot->state = Folder::State::Read;
    slot->equal = equal;
    slot->source = std::move(source);
    slot->target = std::move(target);
    slot->reading = reading;
    --folder->in_flight_;
    read_.notify_all();
  }
}

bool ReadAhead::read(Folder const& folder, Folder::Slot& slot, std::wstring& source,
                     std::wstring& target, bool& equal, Reading& reading) const {
  source = child_path(folder.source_dir_, slot.name);
  target = child_path(folder.target_dir_, slot.name);
  // Only two regular files (never a link, a device or a pipe) of the same size can turn out
  // equal.
  std::uint64_t size = 0;
  std::filesystem::file_time_type mtime;
  bool link = false;
  ChangeStamp source_now;
  ChangeStamp target_now;
  if (!Utilities::FilesystemUtil::regular_entry(source, size, mtime, source_now, link) ||
      !Utilities::FilesystemUtil::regular_entry(target, size, mtime, target_now, link) ||
      source_now.size != target_now.size || source_now.size > options_.largest)
    return false;
  SettledPairs& settled = SettledPairs::instance();
  reading.start = settled.now();
  std::int64_t const quiet_before = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        (reading.start - QUIET_TIME).time_since_epoch())
                                        .count();
  auto const quiet = [quiet_before](ChangeStamp const& stamp) {
    return stamp.ctime_ns < quiet_before;
  };
  if (!quiet(source_now) || !quiet(target_now)) return false;
  equal =
      Utilities::FilesystemUtil::compare_content(source, target, &reading.source, &reading.target,
                                                 SettledPairs::settled_before(reading.start))
          .equal &&
      quiet(reading.source) && quiet(reading.target);
  return true;
}

bool reads_ahead(SyncItem const& item, Sides const& sides, bool compares) {
  return compares && item.type == SyncItemType::Tree && item.compare_items.content() &&
         !item.flags.encryptTarget && sides.source && sides.target && !sides.source->remote() &&
         !sides.target->remote() && !SettledPairs::instance().knows(item.name);
}

}  // namespace KVO_Core
