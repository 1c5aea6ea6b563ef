#include "core/run/TransferLimit.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "core/config/Config.h"
#include "core/run/RunContext.h"

namespace KVO_Core::transfer_limit {
namespace {

using Clock = std::chrono::steady_clock;

struct Transfer {
  Clock::time_point due;
  std::uint64_t last_total = 0;
};

thread_local std::optional<Transfer> transfer;

}  // namespace

std::uint64_t bytes_per_second() {
  return std::uint64_t{Config::instance()->settings.get().TransferLimitKB} * 1024;
}

std::uint64_t time_for(std::uint64_t bytes, std::uint64_t rate) {
  if (rate == 0) return 0;
  return bytes / rate * 1000 + (bytes % rate) * 1000 / rate;
}

void pace(std::uint64_t total) {
  if (!transfer) transfer = Transfer{Clock::now(), 0};
  std::uint64_t const fresh = total < transfer->last_total ? total : total - transfer->last_total;
  transfer->last_total = total;
  auto const now = Clock::now();
  auto const delay = std::chrono::milliseconds(time_for(fresh, bytes_per_second()));
  // Idle time is not saved up as credit.
  transfer->due = std::max(transfer->due, now) + delay;
  auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(transfer->due - now);
  while (remaining.count() >= 1) {
    if (RunContext::stopping()) return;
    auto const slice = std::min(remaining, std::chrono::milliseconds(100));
    std::this_thread::sleep_for(slice);
    remaining -= slice;
  }
}

}  // namespace KVO_Core::transfer_limit
