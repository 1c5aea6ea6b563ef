// What the engine would do, or does, with one file or link pair.
#pragma once

namespace KVO_Core {

enum class PlannedAction : int {
  CopyToTarget = 0,
  MoveToTarget = 1,
  CopyToSource = 2,
  DeleteTarget = 3,
  DeleteSource = 4,
  RenameInTarget = 5,
  RenameInSource = 6,
  ConflictSourceWins = 7,
  ConflictTargetWins = 8,
};

inline constexpr int PLANNED_ACTION_COUNT = 9;

}  // namespace KVO_Core
