// A file renamed on one side shows as a new name and a vanished old one that the state knows:
// the old file on the other side is renamed instead of copying the new one and deleting the old.
// These are the tests and the rename itself, over the item's state and the two sides; the job of
// the pair asks them in turn and keeps the pass's books (claimed deletions, count, plan, state).
#pragma once

#include <optional>
#include <string>

#include "core/config/SyncItem.h"
#include "core/sync/Place.h"
#include "core/sync/decide/FileDifference.h"
#include "core/sync/decide/PlannedAction.h"
#include "core/sync/state/SyncState.h"

namespace KVO_Core {

// Whether the pair may be a rename at all: a copy of a name the state does not know onto the
// side where it is missing, for an item that keeps a lasting state. A one-way item must also sync
// deletions, or the old target name it keeps would be lost.
bool may_be_renamed(SyncState const& state, PlannedAction action, FileDifference const& d,
                    std::wstring const& key, SyncFlags const& flags);

// The state key of the only remembered file (other than key) whose size and time on the side of
// the new name match the new file (to_target: renamed in the source); none when there is none or
// more than one.
std::optional<std::wstring> only_old_name(SyncState const& state, FileDifference const& d,
                                          std::wstring const& key, bool to_target);

// The old name of a rename on both sides: gone where the rename happened, still there on the
// side to be renamed.
struct OldName {
  std::wstring key;
  Place const& renamed_side;
  std::wstring on_renamed_side;
  Place const& other_side;
  std::wstring on_other_side;
};

// The old name is gone where the rename happened and stands unchanged on the other side (its
// remembered size, a time within the tolerance of the one remembered there).
bool old_name_moved_away(SyncState const& state, FileDifference const& d, OldName const& old,
                         bool to_target);

// Whether the renamed file holds the old file's content; an encrypted old target is read through
// its key, and one that no key opens counts as different.
bool same_content(std::wstring const& renamed, std::wstring const& old, bool old_encrypted);

// Renames on the side without replacing anything at `to`: a file that appeared there since the
// comparison is met by the copy instead, which refuses to replace what it did not compare. False
// after logging a failure.
bool renamed_on(Place const& side, std::wstring const& from, std::wstring const& to);

}  // namespace KVO_Core
