// Whether two local roots of an item overlap: equal, one inside the other, or the same directory
// (by device and inode, also through links or bind mounts). Such an item must not run: a pass
// would copy a tree into itself or delete what it just wrote.
#pragma once

#include <filesystem>

namespace KVO_Core {

// True when a and b are the same entry or one lies inside the other. Paths that do not exist
// yet are compared by their nearest existing ancestor and lexically.
bool roots_overlap(std::filesystem::path const& a, std::filesystem::path const& b);
// True when both paths exist and name the same file (same device and inode).
bool same_file(std::filesystem::path const& a, std::filesystem::path const& b);

}  // namespace KVO_Core
