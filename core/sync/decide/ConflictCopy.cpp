#include "core/sync/decide/ConflictCopy.h"

#include "core/config/RemotePaths.h"
#include "core/run/RunContext.h"
#include "core/sync/PathNames.h"
#include "utilities/FileNames.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/SystemInfo.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

using Utilities::LogLevel;
using Utilities::translation::translate;

namespace {

// A taken name between the check and the rename is retried with the next candidates.
constexpr int PLACE_ATTEMPTS = 5;

std::size_t folder_end(std::wstring const& path) {
  std::size_t const last = path.rfind(L'/');
  return last == std::wstring::npos ? 0 : last + 1;
}

std::wstring folder_of(std::wstring const& path) { return path.substr(0, folder_end(path)); }

}  // namespace

std::wstring conflict_copy_marker(std::wstring const& path, Place const& side) {
  std::wstring host;
  std::optional<SshAccount> const account =
      side.remote() ? get_account_from_path(path) : std::nullopt;
  host = Utilities::util::string_to_wstring(account ? account->host()
                                                    : Utilities::system_info::host_name());
  std::wstring const date = Utilities::file_name::local_date();
  std::wstring const marker = translate("conflict_copy_marker", {date, host});
  if (marker == L"conflict_copy_marker") return L"conflict " + date + L", " + host;
  return marker;
}

std::wstring conflict_copy_candidate(std::wstring const& path, std::wstring const& marker,
                                     unsigned n) {
  std::size_t const start = folder_end(path);
  std::size_t dot = path.rfind(L'.');
  if (dot == std::wstring::npos || dot <= start) dot = path.size();
  std::wstring const number = n <= 1 ? std::wstring() : L" " + std::to_wstring(n);
  return path.substr(0, dot) + L" (" + marker + number + L")" + path.substr(dot);
}

std::wstring conflict_copy_name(std::wstring const& path, Place const& side) {
  std::wstring const marker = conflict_copy_marker(path, side);
  for (unsigned n = 1;; ++n) {
    std::wstring const candidate = conflict_copy_candidate(path, marker, n);
    if (!side.exists(candidate)) return candidate;
  }
}

std::wstring conflict_copy_name(std::wstring const& path, Place const& side,
                                std::wstring const& other, Place const& other_side) {
  std::wstring const marker = conflict_copy_marker(path, side);
  std::wstring const other_folder = folder_of(other);
  for (unsigned n = 1;; ++n) {
    std::wstring const candidate = conflict_copy_candidate(path, marker, n);
    if (!side.exists(candidate) && !other_side.exists(other_folder + entry_name_of(candidate)))
      return candidate;
  }
}

std::optional<std::wstring> rename_to_conflict_copy(std::wstring const& loser,
                                                    Place const& loser_side,
                                                    std::wstring const& winner,
                                                    Place const& winner_side) {
  std::wstring name;
  bool renamed = false;
  for (int attempt = 0; attempt < PLACE_ATTEMPTS && !renamed; ++attempt) {
    name = conflict_copy_name(loser, loser_side, winner, winner_side);
    PlaceFailure failure;
    Renamed const outcome = loser_side.rename(loser, name, failure);
    renamed = outcome == Renamed::Done;
    if (outcome != Renamed::Failed) continue;
    // A remote failure was logged where it happened.
    if (failure.detail.empty()) break;
    Utilities::log_at(LogLevel::Error, translate("rename_failed"), loser, name, failure.detail);
    return std::nullopt;
  }
  if (!renamed) {
    Utilities::log_at(LogLevel::Error, translate("rename_failed"), loser, name);
    return std::nullopt;
  }
  std::wstring const text = translate("conflict_copy_made", {loser, entry_name_of(name)});
  Utilities::log_at(LogLevel::Warning, text);
  RunContext::note(LogLevel::Warning, text);
  return name;
}

std::wstring conflict_copy_counterpart(std::wstring const& winner, std::wstring const& name) {
  return folder_of(winner) + entry_name_of(name);
}

}  // namespace KVO_Core
