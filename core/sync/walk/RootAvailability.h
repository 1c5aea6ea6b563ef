// A side that looks unavailable: its root is missing or an empty folder while the item's state
// remembers entries below it (an unmounted volume leaves an empty mount point). Such a pass
// must not run, or every remembered file would count as deleted on that side.
#pragma once

#include <optional>
#include <string>

#include "core/config/SyncItem.h"
#include "core/sync/Place.h"
#include "core/sync/state/SyncState.h"

namespace KVO_Core {

// The local root (source first) that is missing or an empty folder while the state has entries
// and no mass deletion was confirmed; none otherwise, and for remote sides.
std::optional<std::wstring> unavailable_root(SyncItem const& item, SyncState const* state);

// unavailable_root with its report: one Error line and one report line naming the item and the
// root; the state's entries are all kept for this pass. True when the pass must not run.
bool refused_for_unavailable_root(SyncItem const& item, SyncState* state);

// The same for a remote side whose root lists empty while the state has entries and no mass
// deletion was confirmed (a phone that did not offer its folder this time). A root that cannot be
// listed is left to the walk, which reports it.
bool refused_for_empty_remote_root(SyncItem const& item, Sides const& sides,
                                   std::wstring const& source_root, std::wstring const& target_root,
                                   SyncState* state);

// The report of refused_for_unavailable_root for a root found unavailable by other means (an
// empty remote listing); keeps the state's entries.
void report_unavailable_root(SyncItem const& item, std::wstring const& root, SyncState* state);

}  // namespace KVO_Core
