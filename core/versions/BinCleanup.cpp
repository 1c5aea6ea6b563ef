#include "core/versions/BinCleanup.h"

#include "core/config/Config.h"
#include "core/versions/BinNames.h"
#include "core/versions/RecycleBin.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"

namespace KVO_Core::bin_cleanup {

bool ExpiryGate::take(std::chrono::steady_clock::time_point now) {
  auto last = last_run_.load();
  bool due = last == std::chrono::steady_clock::time_point{} ||
             now - last > std::chrono::nanoseconds(3599999999999);
  return due && last_run_.compare_exchange_strong(last, now);
}

void run_if_due() {
  run_if_due(std::chrono::steady_clock::now(), std::chrono::system_clock::now());
}

void run_if_due(std::chrono::steady_clock::time_point steady_now,
                std::chrono::system_clock::time_point now) {
  static ExpiryGate gate;
  run_if_due(gate, steady_now, now);
}

void run_if_due(ExpiryGate& gate, std::chrono::steady_clock::time_point steady_now,
                std::chrono::system_clock::time_point now) {
  auto settings = Config::instance()->settings.get();
  if (settings.DeleteMode != DeleteMode::RecycleBin || settings.RecycleBinDays == 0) return;
  if (!gate.take(steady_now)) return;
  auto removed = remove_older_than(settings.RecycleBinDays, now);
  if (removed != 0)
    Utilities::log_at(Utilities::LogLevel::Info,
                      Utilities::translation::translate(
                          "recycle_bin_expired",
                          {std::to_wstring(removed), std::to_wstring(settings.RecycleBinDays)}));
}

std::size_t remove_older_than(std::uint16_t days, std::chrono::system_clock::time_point now) {
  auto& bin = RecycleBin::instance();
  auto limit = std::chrono::seconds(std::int64_t{days} * 86400);
  std::size_t removed = 0;
  for (auto const& item : bin.list_items()) {
    auto deleted = restore::deleted_at(item);
    if (!deleted) continue;
    if (now - *deleted >= limit && bin.remove_item(item)) ++removed;
  }
  return removed;
}

}  // namespace KVO_Core::bin_cleanup
