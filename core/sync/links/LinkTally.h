// The link counters of one job: links that were skipped or made during the walk, each with its
// first path as an example. The warnings for them are given once per item at the end of a pass.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace KVO_Core {

struct LinkTally {
  struct Count {
    std::uint64_t count = 0;
    std::wstring example;  // the first path counted
    // Adds 1; the first path becomes the example.
    void add(std::wstring const& path);
  };

  LinkTally() = default;
  LinkTally(LinkTally&& other) noexcept;
  // Moves every member and leaves other empty.
  LinkTally& operator=(LinkTally&& other) noexcept;
  LinkTally(LinkTally const&) = delete;
  LinkTally& operator=(LinkTally const&) = delete;

  Count not_supported;  // the receiving side cannot hold links
  Count system;         // local source links into system areas
  Count leave_tree;     // links made whose text leads out of the item's root
  Count loop;
  Count into_target;
  Count too_deep;
  Count dangling;
  Count junctions;
  std::vector<std::wstring> created;  // links made in the target in this pass, in order
};

}  // namespace KVO_Core
