// The decision table of one file pair: what to do follows from the comparison's result and the
// item's flags alone; the one fact that needs reading files (a finished move) is asked for by
// the caller beforehand, and only where the table can use it.
#pragma once

#include <optional>

#include "core/config/SyncItem.h"
#include "core/sync/decide/FileDifference.h"
#include "core/sync/decide/PlannedAction.h"

namespace KVO_Core {

struct DecisionInputs {
  FileDifference::Result result = FileDifference::Result::Equal;
  SyncFlags flags;
  bool moves = false;            // source files go after a good copy
  bool completes_moves = false;  // an equal pair of a moving item loses its source
  bool move_completed = false;   // the target holds the source's content (asked for Equal only)
  bool remembered = false;       // a two-way pair with a remembered state
  bool target_newer = false;     // the target's time lies beyond the tolerance after the source's
};

// Whether the table needs move_completed for these inputs.
bool needs_move_check(DecisionInputs const& in);

// None leaves the pair alone.
std::optional<PlannedAction> decide_action(DecisionInputs const& in);

}  // namespace KVO_Core
