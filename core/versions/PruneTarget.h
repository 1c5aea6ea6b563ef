// Cuts the generations of every wanted file in a sync item's target down to maxGenerations.
#pragma once

#include <atomic>
#include <cstddef>

namespace KVO_Core {
class SyncItem;
}

namespace KVO_Core::generations {

// Walks the item's target (a tree item descends, never into linked directories or excluded
// ones) and removes every wanted file's generations beyond maxGenerations. Returns the count
// removed; 0 without fatherSonPrinciple, with maxGenerations 0 or without a target. stop is read
// once per directory. Remote exceptions pass through; what was removed stays removed.
std::size_t prune_target(SyncItem const& item, std::atomic<bool> const& stop);

}  // namespace KVO_Core::generations
