// New files are placed without a data sync of their own; a state that remembers them must not
// reach the disk before their data does. Otherwise a power loss can bring a file back cut short
// while the state still remembers it whole, and the next two-way pass takes the short file for
// the user's change and copies it over the other side.
#pragma once

#include <set>
#include <string>

namespace KVO_Core {

// Syncs each file system that holds one of the folders (a folder that is gone is reached through
// the nearest parent that is still there), each once. False, with the failure's text naming the
// folder, when one could not be synced.
bool sync_volumes_of(std::set<std::wstring> const& folders, std::wstring& failure);

}  // namespace KVO_Core
