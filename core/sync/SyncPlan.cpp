#include "core/sync/SyncPlan.h"

#include <numeric>

namespace KVO_Core {

namespace {

thread_local SyncPlan* current_plan = nullptr;

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

SyncPlanGuard::SyncPlanGuard(SyncPlan* plan) : previous_(current_plan) { current_plan = plan; }

SyncPlanGuard::~SyncPlanGuard() { current_plan = previous_; }

bool planning() { return current_plan != nullptr; }

void plan_step(PlannedStep step) {
  if (current_plan) current_plan->add(std::move(step));
}

}  // namespace KVO_Core
