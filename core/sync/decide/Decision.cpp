#include "core/sync/decide/Decision.h"

namespace KVO_Core {

using Result = FileDifference::Result;

bool needs_move_check(DecisionInputs const& in) {
  return in.result == Result::Equal && in.completes_moves;
}

std::optional<PlannedAction> decide_action(DecisionInputs const& in) {
  SyncFlags const& flags = in.flags;
  PlannedAction const copy = in.moves ? PlannedAction::MoveToTarget : PlannedAction::CopyToTarget;
  switch (in.result) {
    case Result::Equal:
      if (in.completes_moves && in.move_completed) return PlannedAction::DeleteSource;
      return std::nullopt;
    case Result::DestDeleted:
      return PlannedAction::DeleteSource;
    case Result::SourceDeleted:
      return PlannedAction::DeleteTarget;
    case Result::SourceNotExits:
      // Only a one-way mirror may take a file that exists only in the target for a deleted one:
      // on a two-way item it is new there, and a moving item put it there itself.
      if (flags.syncDeletions && !in.remembered && !flags.twoWaySync && !flags.delAftercopy)
        return PlannedAction::DeleteTarget;
      if (flags.twoWaySync) return PlannedAction::CopyToSource;
      return std::nullopt;
    case Result::SourceModified:
    case Result::DestNotExists:
      return copy;
    case Result::DestModified:
      // A two-way item must not overwrite a change made on the target with the older source.
      if (flags.copyWhenTargetNewer && !flags.twoWaySync) return copy;
      if (flags.twoWaySync) return PlannedAction::CopyToSource;
      return std::nullopt;
    case Result::ContentConflict:
    case Result::BothModified:
      if (flags.twoWaySync && flags.conflictCopies)
        return in.target_newer ? PlannedAction::ConflictTargetWins
                               : PlannedAction::ConflictSourceWins;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace KVO_Core
