// Turning the configured items into the directories a change watcher watches, and making the
// watcher. The controller calls watch_items once, before its first pass, when it runs
// continuously.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/config/Settings.h"
#include "core/config/SyncItem.h"
#include "core/control/ChangeWatcher.h"

namespace KVO_Core {

// The canonical targets of the directory links found below `directory` (walked without
// entering links that loop, overlap or chain too deep), each once, without those inside the
// directory itself. Empty when the directory has no canonical form.
std::vector<std::filesystem::path> directories_behind_links(std::filesystem::path const& directory);

// Appends what one side of the item needs watched: nothing for a remote side; the folder that
// holds the file for a file item; the side itself otherwise (recursive for a tree item), and
// with `follow` for a tree item every directory behind its links too.
void watch_side(std::vector<WatchedDir>& list, SyncItem const& item, std::wstring const& side_path,
                bool remote, bool follow);

// The directories of every enabled item with watchChanges, in item order: its source (links
// followed when the item follows links and neither is two-way nor moves) then its target.
std::vector<WatchedDir> watched_directories(std::vector<SyncItem> const& items);

// The service's own files: the state and status folders, the log file, the lock and
// device-link files beside the configuration, and the proof file of every item that keeps one.
OwnFiles own_service_files(std::vector<SyncItem> const& items, Settings const& settings);

// The watcher for the items, or null when no directory is to be watched. Logs Info
// "watching_changes" (item, directory) for every directory of an item still watched afterwards.
std::unique_ptr<ChangeWatcher> watch_items(std::vector<SyncItem> const& items,
                                           Settings const& settings);
// The same for a fresh copy of the configuration's items and settings; null when
// ChangeWatcher::available() is false.
std::unique_ptr<ChangeWatcher> watch_items();

}  // namespace KVO_Core
