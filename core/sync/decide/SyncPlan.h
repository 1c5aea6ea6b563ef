// The dry-run plan: a preview pass records every action it would take instead of acting. The plan
// is attached to the calling thread by a guard; the jobs find it there.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/run/ThreadCurrent.h"
#include "core/sync/decide/PlannedAction.h"

namespace KVO_Core {

struct PlannedStep {
  std::wstring item;
  PlannedAction action = PlannedAction::CopyToTarget;
  std::wstring source;  // for a rename: the old path
  std::wstring target;  // for a rename: the new path
  std::uint64_t bytes = 0;
  bool link = false;
};

struct SyncPlan {
  static constexpr std::size_t MAX_STEPS = 10000;

  std::vector<PlannedStep> steps;  // at most MAX_STEPS; later steps are only counted
  std::array<std::uint64_t, PLANNED_ACTION_COUNT> counts{};
  std::uint64_t bytes = 0;  // of the actions that move data (copies and conflict copies)

  void add(PlannedStep step);
  // Every planned step, listed or not.
  std::uint64_t count() const;
};

// Makes the plan (null: none) the thread's current plan for the guard's life; guards nest.
using SyncPlanGuard = ThreadCurrentGuard<SyncPlan>;

// The thread has a current plan.
bool planning();
// Adds the step to the thread's current plan; nothing without one.
void plan_step(PlannedStep step);

// A progress message kept by the controller for a front end.
struct SyncMessage {
  SyncMessage() = default;
  SyncMessage(std::wstring text, std::wstring detail, std::uint64_t files, std::uint64_t bytes)
      : text(std::move(text)), detail(std::move(detail)), files(files), bytes(bytes) {}

  std::wstring text;
  std::wstring detail;
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
};

}  // namespace KVO_Core
