// One entry of the configuration file's "Syncitems" section: reading it into a SyncItem and
// writing a SyncItem back. All values are texts; booleans are true only for exactly "true".
#pragma once

#include <boost/property_tree/ptree.hpp>

#include "core/config/SyncItem.h"

namespace KVO_Core {

// Fills `item` from one "Syncitem" subtree; true when it was read completely. A missing required
// key, a value that is no text or a bad number gives false after an Error line
// ("config_read_sync_settings" and the reason); `item` is then partly filled and to be dropped.
// A remote side whose account is unknown keeps its text: its account carries only the name.
bool interpret_sync_item(boost::property_tree::wptree const& entry, SyncItem& item);

// The parts of an entry; each throws at a missing required key or a bad number.
CompareItems get_compare_items(boost::property_tree::wptree const& section);
Exclusions get_exclusions(boost::property_tree::wptree const& section);
SyncFlags get_sync_flags(boost::property_tree::wptree const& section);

// Fills the empty `entry` with the item's keys in file order (a missing side is left out).
void write_sync_item(SyncItem const& item, boost::property_tree::wptree& entry);
// Fills the empty `section` with "size", "time", "content" and "timeToleranceSeconds".
void write_compare_items(SyncItem const& item, boost::property_tree::wptree& section);

}  // namespace KVO_Core
