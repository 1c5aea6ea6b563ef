// The report of one item run: error lines (capped), a summed disk shortage, counted hints and
// whether the run was given up. It belongs to the thread that runs the item; code below the
// controller reports through the free functions, which do nothing on a thread without a report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/run/ThreadCurrent.h"
#include "utilities/FailureReasons.h"

namespace KVO_Core {

struct SyncReport {
  struct Hint {
    std::uint64_t count = 0;
    std::wstring example;
  };

  std::uint64_t copied_bytes = 0;
  std::vector<std::wstring> errors;
  std::uint64_t shortage_count = 0;
  std::uint64_t shortage_bytes = 0;
  std::wstring shortage_path;
  std::wstring shortage_reason;
  std::optional<std::size_t> shortage_line;
  bool abandoned = false;
  std::map<std::string, Hint> hints;

  // Appends the line while fewer than 100 are held; the 101st becomes "error_list_capped" and
  // later lines are dropped.
  void error(std::wstring const& line);
  // The first call marks the run given up and adds text + " " + "remaining_files_skipped";
  // later calls add nothing.
  void abandon(std::wstring const& text);
  // The first shortage adds one line; later ones only count and rewrite that line.
  void shortage(std::wstring const& path, std::uint64_t needed, std::uint64_t free,
                Utilities::FilesystemUtil::FileInfoResult reason);
  // Counts the hint; the example of its first report is kept.
  void hint(char const* message_id, std::wstring const& example);
  // One line per hint in byte order of the ids: translation, count and "(example)".
  std::vector<std::wstring> hint_lines() const;
};

// How far a failure reaches.
enum class FailureReach : int { FileOnly = 0, Place = 1, Space = 2, Capability = 3 };

FailureReach reach_of(Utilities::FilesystemUtil::FileInfoResult reason);

// Bytes as decimal megabytes with one digit after the point and " MB".
std::wstring megabytes(std::uint64_t bytes);

// Makes the report the thread's current one for the guard's life; nests. Does not own it.
using SyncReportGuard = ThreadCurrentGuard<SyncReport>;

// The thread's current report, null when none.
SyncReport* current_report();

void report_sync_error(std::wstring const& line);
// A reason that makes the whole place unusable abandons the run; any other adds an error line.
void report_sync_refusal(std::wstring const& text,
                         Utilities::FilesystemUtil::FileInfoResult reason);
void report_sync_shortage(std::wstring const& path, std::uint64_t needed, std::uint64_t free,
                          Utilities::FilesystemUtil::FileInfoResult reason);
void report_sync_hint(char const* message_id, std::wstring const& example);
void report_sync_volume(std::uint64_t bytes);
// The current report's abandoned flag; false without a report.
bool sync_abandoned();

}  // namespace KVO_Core
