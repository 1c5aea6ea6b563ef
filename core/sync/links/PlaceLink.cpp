// Placing a link: made under "<place>.kvo-link", read back, moved onto the place by one rename;
// what stood there is parked under a name that was free (never replacing anything) and removed,
// kept as a generation, or put back when the rename fails.
#include <cerrno>

#include "core/config/RemotePaths.h"
#include "core/run/SyncReport.h"
#include "core/sync/Refusals.h"
#include "core/sync/links/SyncLink.h"
#include "core/versions/Generations.h"
#include "utilities/Links.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace KVO_Core {

namespace fs = std::filesystem;
using Utilities::LogLevel;
using Utilities::FilesystemUtil::FileInfoResult;
using Utilities::translation::translate;

namespace {

constexpr FileInfoResult WRITE_ERROR = FileInfoResult::file_info_write_error;
constexpr FileInfoResult LINK_ERROR = FileInfoResult::symbolic_link_error;
constexpr int MAX_NAME_TRIES = 1000;

enum class LinkStaging { Free, Cleared, Foreign };

// Removes a staging link left from an earlier attempt; anything else of that name is the
// user's and is left alone.
LinkStaging clear_staging(std::wstring const& staged, Place const& side) {
  std::optional<EntryInfo> const info = side.entry(staged);
  if (!info || !info->exists) return LinkStaging::Free;
  if (!info->is_link) return LinkStaging::Foreign;
  return side.remove_file(staged) ? LinkStaging::Foreign : LinkStaging::Cleared;
}

bool link_place_taken(std::wstring const& path, Place const& side) {
  std::optional<EntryInfo> const info = side.entry(path);
  return info && info->exists;
}

FileInfoResult rename_over(std::wstring const& from, std::wstring const& to, Place const& side) {
  Utilities::log_at(LogLevel::Info, L"rename_file", from, to);
  PlaceFailure const failure = side.publish(from, to, true);
  if (failure && !failure.detail.empty())
    Utilities::log_at(LogLevel::Error, translate("file_rename_error") + from + L" -> " + to +
                                           L": " + failure.detail);
  return failure.reason;
}

// Moves from onto a free name: the first candidate that a no-clobber rename takes; -1 when the
// candidate was taken.
FileInfoResult rename_to_free(std::wstring const& from, std::wstring const& candidate,
                              Place const& side) {
  PlaceFailure failure;
  switch (side.rename(from, candidate, failure)) {
    case Renamed::Done:
      return FileInfoResult{};
    case Renamed::Taken:
      return static_cast<FileInfoResult>(-1);
    default:
      return failure.reason;
  }
}

}  // namespace

bool SyncLink::create(fs::path const& text, bool directory, End const& place) {
  std::wstring const staged = place.path + L".kvo-link";
  Place const& side = *place.side;
  if (clear_staging(staged, side) == LinkStaging::Foreign) {
    refused(place, WRITE_ERROR);
    return false;
  }
  if (PlaceFailure const failure = side.make_link(Utilities::from_path(text), staged, directory)) {
    refused(place, failure.reason);
    return false;
  }
  std::wstring const read_back = side.read_link(staged).value_or(std::wstring());
  if (read_back != Utilities::from_path(text)) {
    clear_staging(staged, side);
    refused(place, LINK_ERROR);
    return false;
  }
  if (put_in_place(staged, place)) return true;
  clear_staging(staged, side);
  return false;
}

std::optional<std::wstring> SyncLink::park(End const& place) {
  Place const& side = *place.side;
  if (!link_place_taken(place.path, side)) return std::wstring();
  FileInfoResult reason = WRITE_ERROR;
  for (int attempt = 0; attempt < MAX_NAME_TRIES; ++attempt) {
    std::wstring candidate;
    if (item.flags.fatherSonPrinciple) {
      candidate = generations::next(place.path, side.remote());
    } else {
      candidate = place.path + L".bak";
      for (int n = 1; link_place_taken(candidate, side); ++n)
        candidate = place.path + L".bak" + std::to_wstring(n);
    }
    reason = rename_to_free(place.path, candidate, side);
    if (reason == 0) return candidate;
    if (reason != static_cast<FileInfoResult>(-1)) break;
    reason = WRITE_ERROR;  // the name was taken meanwhile: the next one
  }
  std::wstring const text =
      Utilities::FilesystemUtil::make_error_message(reason) + L": " + place.path;
  report_refusal(text, reason);
  return std::nullopt;
}

bool SyncLink::put_in_place(std::wstring const& staged, End const& place) {
  std::optional<std::wstring> const parked = park(place);
  if (!parked) return false;
  Place const& side = *place.side;
  FileInfoResult const reason = rename_over(staged, place.path, side);
  if (reason == 0) {
    if (!parked->empty()) {
      if (item.flags.fatherSonPrinciple) {
        generations::prune(place.path, side.remote(), item.flags.maxGenerations);
      } else if (link_place_taken(*parked, side)) {
        side.remove_file(*parked);
      }
    }
    return true;
  }
  std::wstring note;
  if (!parked->empty() && rename_to_free(*parked, place.path, side) != 0)
    note = L" " + translate("previous_target_kept_as") + *parked;
  std::wstring const text = translate("link_create_failed") + place.path + L" (" +
                            Utilities::FilesystemUtil::make_error_message(reason) + L")" + note;
  report_refusal(text, reason);
  return false;
}

void SyncLink::refused(End const& place, FileInfoResult reason) {
  if (reason == FileInfoResult::links_not_supported) {
    parent_tally.not_supported.add(place.path);
    return;
  }
  std::wstring const text = translate("link_create_failed") + place.path + L" (" +
                            Utilities::FilesystemUtil::make_error_message(reason) + L")";
  report_refusal(text, reason);
}

void SyncLink::carried(Side const& copied, End const& from, End const& to) {
  ++count;
  Utilities::log_at(LogLevel::Info,
                    translate("link_created") + L" " + from.path + L" -> " + to.path);
  bool const from_remote = from.side->remote();
  fs::path const from_path =
      from_remote ? fs::path(get_remote_path(from.path)) : Utilities::to_path(from.path);
  fs::path const from_root =
      from_remote ? fs::path(get_remote_path(from.root)) : Utilities::to_path(from.root);
  if (Utilities::symlink_util::leaves_root(from_path, copied.target, from_root))
    parent_tally.leave_tree.add(from.path);
  else if (!to.side->remote())
    parent_tally.created.push_back(to.path);
  settle(copied.target);
  if (&to == &target && moves && deleted(from.path, *from.side, "source_delete_failed") &&
      state != nullptr)
    state->forget(key);
}

}  // namespace KVO_Core
