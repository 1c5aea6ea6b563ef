// Finding and putting back deleted (recycle bin) and replaced (backup generation) files; for a
// front end, run on its own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "core/versions/BinNames.h"

namespace KVO_Core {
class SyncItem;
}

namespace KVO_Core::restore {

struct Restorable {
  enum class Kind : int { Deleted = 0, Replaced = 1 };
  Kind kind = Kind::Deleted;
  std::filesystem::path location;  // where the copy is now
  std::filesystem::path origin;    // where it belongs
  Microseconds when{};             // deletion time, or the generation's last write time
  std::uint64_t size = 0;          // 0 when unreadable
};

// Every stamped bin item and every generation in the local targets of items that keep them,
// newest first. stop is read before every entry of the walks. Never fails.
std::vector<Restorable> find(std::vector<SyncItem> const& items, std::atomic<bool> const& stop);

// Restores into the folder into (created when missing) under the origin's name, or a dated or
// numbered name when that is taken; nothing is ever overwritten. A bin item leaves the bin, a
// generation is copied; age files are decrypted when a key opens them. none (logged) on failure.
std::optional<std::filesystem::path> put_back(Restorable const& restorable,
                                              std::filesystem::path const& into);

// The restorable's origin is an absolute path.
bool place_known(Restorable const& restorable);

}  // namespace KVO_Core::restore
