#include "core/sync/links/LinkTally.h"

#include <utility>

namespace KVO_Core {

void LinkTally::Count::add(std::wstring const& path) {
  if (count++ == 0) example = path;
}

LinkTally::LinkTally(LinkTally&& other) noexcept { *this = std::move(other); }

LinkTally& LinkTally::operator=(LinkTally&& other) noexcept {
  if (this == &other) return *this;
  not_supported = std::exchange(other.not_supported, {});
  system = std::exchange(other.system, {});
  leave_tree = std::exchange(other.leave_tree, {});
  loop = std::exchange(other.loop, {});
  into_target = std::exchange(other.into_target, {});
  too_deep = std::exchange(other.too_deep, {});
  dangling = std::exchange(other.dangling, {});
  junctions = std::exchange(other.junctions, {});
  created = std::exchange(other.created, {});
  return *this;
}

}  // namespace KVO_Core
