// The status file of a sync item: when it last ran, whether its sides were reachable, how many
// errors the run had and its first one, and when it last ran cleanly. Written by the controller
// after every reported run; read by a front end, which turns it into a state and a sentence.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/config/StatusFile.h"
#include "core/config/SyncItem.h"

namespace KVO_Core::item_status {

using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::seconds>;

inline constexpr char const* HEADER = "pellimoravin-item-status 1";
inline constexpr char const* SOURCE_KEY = "source";
inline constexpr char const* TARGET_KEY = "target";
inline constexpr char const* LAST_PASS_KEY = "last_pass";
inline constexpr char const* REACHABLE_KEY = "reachable";
inline constexpr char const* ERRORS_KEY = "errors";
inline constexpr char const* FIRST_ERROR_KEY = "first_error";
inline constexpr char const* LAST_SUCCESS_KEY = "last_success";
inline constexpr std::size_t FIRST_ERROR_LIMIT = 300;

struct ItemStatus {
  std::wstring source;
  std::wstring target;
  TimePoint last_pass{};
  std::optional<TimePoint> last_success;
  bool reachable = false;
  std::uint64_t errors = 0;
  std::wstring first_error;

  friend bool operator==(ItemStatus const&, ItemStatus const&) = default;
};

enum class StatusKind : int { inactive = 0, never = 1, ok = 2, unreachable = 3, errors = 4 };

// The system clock now, cut down to whole seconds.
TimePoint current_time();
// The status folder beside the configuration file.
std::filesystem::path directory();
// The stored status; none (nothing logged) when the file is missing, none with one Info line when
// it cannot be read or understood.
std::optional<ItemStatus> read(std::filesystem::path const& path);
// Writes through "<path>.tmp", synced and renamed over the file; false (Info line, the old file
// kept, no temporary left) on failure.
bool write(std::filesystem::path const& path, ItemStatus const& status);
// The stored status of the item, only when it was recorded for its present source and target.
std::optional<ItemStatus> of(SyncItem const& item);
// Records a finished run; rewrites the file only when it is new, the outcome changed, or 60 s or
// more passed since the stored last pass (or the clock went back behind it).
void record(SyncItem const& item, LastRun const& run, TimePoint now);
// The state to show and whether it is a problem.
StatusKind kind(SyncItem const& item, std::optional<ItemStatus> const& status);
bool problem(StatusKind kind);
// The translated sentence to show.
std::wstring text(SyncItem const& item, std::optional<ItemStatus> const& status, TimePoint now);

}  // namespace KVO_Core::item_status
