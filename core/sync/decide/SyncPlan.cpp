#include "core/sync/decide/SyncPlan.h"

#include <numeric>

namespace KVO_Core {

namespace {

bool moves_data(PlannedAction action) {
  switch (action) {
    case PlannedAction::DeleteTarget:
    case PlannedAction::DeleteSource:
    case PlannedAction::RenameInTarget:
    case PlannedAction::RenameInSource:
      return false;
    default:
      return true;
  }
}

}  // namespace

void SyncPlan::add(PlannedStep step) {
  ++counts[static_cast<std::size_t>(step.action)];
  if (moves_data(step.action)) bytes += step.bytes;
  if (steps.size() < MAX_STEPS) steps.push_back(std::move(step));
}

std::uint64_t SyncPlan::count() const {
  return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
}

bool planning() { return SyncPlanGuard::current() != nullptr; }

void plan_step(PlannedStep step) {
  if (SyncPlan* plan = SyncPlanGuard::current()) plan->add(std::move(step));
}

}  // namespace KVO_Core
