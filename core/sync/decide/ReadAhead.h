// Reading file pairs ahead of the walk: while the controller works through a folder of an item
// that compares content, a few worker threads compare the next pairs of its listing. A worker
// only reads: it never logs, reports, writes or touches the item's state. The controller uses a
// worker's reading only when it found the pair equal and both files still carry the stamps
// (device, inode, size, modification and change time) they had when the worker opened them;
// anything else (no reading yet, unequal, an error, a stamp that moved, a file that changed in
// the second before the reading) is read again by the controller itself, so every decision,
// message and log line stays the controller's own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/config/SyncItem.h"
#include "core/sync/Place.h"
#include "utilities/FilesystemUtil.h"

namespace KVO_Core {

class ReadAhead {
 public:
  using ChangeStamp = Utilities::FilesystemUtil::ChangeStamp;
  using Clock = std::chrono::system_clock;

  struct Options {
    unsigned workers = 4;
    // How many files of the listing the workers may run ahead of the controller.
    std::size_t window = 48;
    // Pairs larger than this are left to the controller: reading one the controller then
    // never asks for costs too much.
    std::uint64_t largest = 64ull << 20;
    // For tests: when set, every folder is read ahead to its end before the controller goes on,
    // and then this runs on the controller's thread with the source folder.
    std::function<void(std::wstring const& source_dir)> folder_read;
  };

  // An equal reading the controller may take for its own.
  struct Reading {
    ChangeStamp source;  // as opened
    ChangeStamp target;
    Clock::time_point start;  // when the reading began (SettledPairs' clock)
  };

  // The files of one folder pair to read ahead, in listing order: a file's position in the
  // listing and its name in both folders.
  struct File {
    std::size_t position;
    std::wstring name;
  };

  // The controller's side of one folder while its entries are walked. Folders nest (a subfolder
  // is walked in the middle of its parent's listing): only the innermost is read ahead, and its
  // parent resumes when it ends. Ending a folder drops its unread files and waits for the
  // readings under way (one file pair per worker at most).
  class Folder {
   public:
    Folder(ReadAhead& owner, std::wstring source_dir, std::wstring target_dir,
           std::vector<File> files);
    ~Folder();
    Folder(Folder const&) = delete;
    Folder& operator=(Folder const&) = delete;

    // The controller has come to the entry at this listing position; files before it are
    // dropped and the workers may read up to the window beyond it.
    void reach(std::size_t position);

   private:
    friend class ReadAhead;
    enum class State : int { Pending, Reading, Read, Dropped };
    struct Slot {
      std::size_t position = 0;
      std::wstring name;
      State state = State::Pending;
      bool equal = false;
      std::wstring source;  // the paths as read, kept only until the controller passes
      std::wstring target;
      Reading reading;
    };

    // Drops the unread files, waits for the readings under way and gives the workers back to
    // the enclosing folder.
    void leave();

    ReadAhead& owner_;
    Folder* enclosing_;
    std::wstring source_dir_;
    std::wstring target_dir_;
    std::vector<Slot> slots_;
    std::size_t cursor_ = 0;  // the first slot the controller has not passed
    std::size_t reached_ = 0;
    std::size_t next_ = 0;  // the first slot no worker has taken
    std::size_t in_flight_ = 0;
  };

  // Workers start with the first folder that has files to read.
  explicit ReadAhead(Options options = defaults());
  // Stops the workers and joins them; every Folder must have ended.
  ~ReadAhead();
  ReadAhead(ReadAhead const&) = delete;
  ReadAhead& operator=(ReadAhead const&) = delete;

  // min(4, hardware threads) workers.
  static Options defaults();

  // The reading of the pair the controller is at, when a worker found it equal and both stamps
  // are the ones the controller just read; the pair's reading is used up either way. A reading
  // under way is waited for: the controller would read the same files otherwise.
  std::optional<Reading> take(std::wstring const& source, std::wstring const& target,
                              ChangeStamp const& source_stamp, ChangeStamp const& target_stamp);

  // Pairs whose content the workers read, and readings the controller took.
  std::uint64_t pairs_read() const;
  std::uint64_t readings_taken() const;

 private:
  void start_workers();
  void work();
  // The next slot of the innermost folder within the window; null when there is none.
  Folder::Slot* next_slot(Folder*& folder);
  // Compares the slot's pair unless it cannot turn out equal or is known equal already; false
  // when nothing was read.
  bool read(Folder const& folder, Folder::Slot& slot, std::wstring& source, std::wstring& target,
            bool& equal, Reading& reading) const;

  Options const options_;
  mutable std::mutex mutex_;
  std::condition_variable work_;  // workers wait for a slot
  std::condition_variable read_;  // the controller waits for a reading
  Folder* current_ = nullptr;
  bool quit_ = false;
  unsigned idle_ = 0;  // workers waiting for a slot
  std::uint64_t read_pairs_ = 0;
  std::uint64_t taken_ = 0;
  std::vector<std::thread> workers_;
};

// The item's walk reads pairs ahead: a tree item of two local sides whose comparison
// reads content (an encrypted target does not), in a pass that compares, while no pair of it is
// remembered as settled (its first pass after a start, or one on a file system whose change
// times cannot be trusted): later passes read only the few pairs that changed.
bool reads_ahead(SyncItem const& item, Sides const& sides, bool compares);

}  // namespace KVO_Core
