// Placing a link: made under "<place>.kvo-link", read back, moved onto the place by one rename;
// what stood there is parked under a name that was free (never replacing anything) and removed,
// kept as a generation, or put back when the rename fails.
#include <cerrno>

#include "core/config/RemotePaths.h"
#include "core/remote/RemoteOps.h"
#include "core/run/SyncReport.h"
#include "core/sync/SyncLink.h"
#include "core/versions/Generations.h"
#include "utilities/Links.h"
#include "utilities/Logging.h"
#include "utilities/NoClobber.h"
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
LinkStaging clear_staging(std::wstring const& staged, bool remote) {
  if (remote) {
    std::optional<SshLinkInfo> const info = ssh_link_info(staged);
    if (!info || !info->exists) return LinkStaging::Free;
    if (!info->is_link) return LinkStaging::Foreign;
    return ssh_remove_file(staged) ? LinkStaging::Cleared : LinkStaging::Foreign;
  }
  std::error_code ec;
  fs::path const path = Utilities::to_path(staged);
  fs::file_type const type = fs::symlink_status(path, ec).type();
  if (type == fs::file_type::not_found || type == fs::file_type::none) return LinkStaging::Free;
  if (type != fs::file_type::symlink) return LinkStaging::Foreign;
  return fs::remove(path, ec) && !ec ? LinkStaging::Cleared : LinkStaging::Foreign;
}

bool link_place_taken(std::wstring const& path, bool remote) {
  if (remote) {
    std::optional<SshLinkInfo> const info = ssh_link_info(path);
    return info && info->exists;
  }
  std::error_code ec;
  fs::file_type const type = fs::symlink_status(Utilities::to_path(path), ec).type();
  return type != fs::file_type::not_found && type != fs::file_type::none;
}

FileInfoResult rename_over(std::wstring const& from, std::wstring const& to, bool remote) {
  if (remote) return ssh_rename(from, to) ? FileInfoResult{} : WRITE_ERROR;
  return Utilities::FilesystemUtil::rename_refusal(from, to);
}

// Moves from onto a free name: the first candidate that a no-clobber rename takes.
FileInfoResult rename_to_free(std::wstring const& from, std::wstring const& candidate,
                              bool remote) {
  if (remote) return ssh_rename(from, candidate) ? FileInfoResult{} : WRITE_ERROR;
  std::error_code const ec =
      Utilities::no_clobber::rename(Utilities::to_path(from), Utilities::to_path(candidate));
  if (!ec) return FileInfoResult{};
  if (ec.value() == EEXIST) return static_cast<FileInfoResult>(-1);
  return Utilities::FilesystemUtil::reason_for_write_failure(ec);
}

}  // namespace

bool SyncLink::create(fs::path const& text, bool directory, Place const& place) {
  std::wstring const staged = place.path + L".kvo-link";
  if (clear_staging(staged, place.remote) == LinkStaging::Foreign) {
    refused(place, WRITE_ERROR);
    return false;
  }
  std::wstring read_back;
  if (place.remote) {
    FileInfoResult const reason = ssh_create_link(Utilities::from_path(text), staged);
    if (reason != 0) {
      refused(place, reason);
      return false;
    }
    std::optional<SshLinkInfo> const info = ssh_link_info(staged);
    if (info) read_back = info->target;
  } else {
    FileInfoResult const reason =
        Utilities::symlink_util::create_link_refusal(text, Utilities::to_path(staged), directory);
    if (reason != 0) {
      refused(place, reason);
      return false;
    }
    read_back =
        Utilities::from_path(Utilities::symlink_util::link_info(Utilities::to_path(staged)).text);
  }
  if (read_back != Utilities::from_path(text)) {
    clear_staging(staged, place.remote);
    refused(place, LINK_ERROR);
    return false;
  }
  if (put_in_place(staged, place)) return true;
  clear_staging(staged, place.remote);
  return false;
}

std::optional<std::wstring> SyncLink::park(Place const& place) {
  if (!link_place_taken(place.path, place.remote)) return std::wstring();
  FileInfoResult reason = WRITE_ERROR;
  for (int attempt = 0; attempt < MAX_NAME_TRIES; ++attempt) {
    std::wstring candidate;
    if (item.flags.fatherSonPrinciple) {
      candidate = generations::next(place.path, place.remote);
    } else {
      candidate = place.path + L".bak";
      for (int n = 1; link_place_taken(candidate, place.remote); ++n)
        candidate = place.path + L".bak" + std::to_wstring(n);
    }
    reason = rename_to_free(place.path, candidate, place.remote);
    if (reason == 0) return candidate;
    if (reason != static_cast<FileInfoResult>(-1)) break;
    reason = WRITE_ERROR;  // the name was taken meanwhile: the next one
  }
  std::wstring const text =
      Utilities::FilesystemUtil::make_error_message(reason) + L": " + place.path;
  Utilities::log_at(LogLevel::Error, text);
  report_sync_refusal(text, reason);
  return std::nullopt;
}

bool SyncLink::put_in_place(std::wstring const& staged, Place const& place) {
  std::optional<std::wstring> const parked = park(place);
  if (!parked) return false;
  FileInfoResult const reason = rename_over(staged, place.path, place.remote);
  if (reason == 0) {
    if (!parked->empty()) {
      if (item.flags.fatherSonPrinciple) {
        generations::prune(place.path, place.remote, item.flags.maxGenerations);
      } else if (place.remote) {
        std::optional<SshLinkInfo> const info = ssh_link_info(*parked);
        if (info && info->exists) ssh_remove_file(*parked);
      } else {
        Utilities::FilesystemUtil::remove_file(*parked, LogLevel::None);
      }
    }
    return true;
  }
  std::wstring note;
  if (!parked->empty() && rename_to_free(*parked, place.path, place.remote) != 0)
    note = L" " + translate("previous_target_kept_as") + *parked;
  std::wstring const text = translate("link_create_failed") + place.path + L" (" +
                            Utilities::FilesystemUtil::make_error_message(reason) + L")" + note;
  Utilities::log_at(LogLevel::Error, text);
  report_sync_refusal(text, reason);
  return false;
}

void SyncLink::refused(Place const& place, FileInfoResult reason) {
  if (reason == FileInfoResult::links_not_supported) {
    parent_tally.not_supported.add(place.path);
    return;
  }
  std::wstring const text = translate("link_create_failed") + place.path + L" (" +
                            Utilities::FilesystemUtil::make_error_message(reason) + L")";
  Utilities::log_at(LogLevel::Error, text);
  report_sync_refusal(text, reason);
}

void SyncLink::carried(Side const& copied, Place const& from, Place const& to) {
  ++count;
  Utilities::log_at(LogLevel::Info,
                    translate("link_created") + L" " + from.path + L" -> " + to.path);
  fs::path const from_path =
      from.remote ? fs::path(get_remote_path(from.path)) : Utilities::to_path(from.path);
  fs::path const from_root =
      from.remote ? fs::path(get_remote_path(from.root)) : Utilities::to_path(from.root);
  if (Utilities::symlink_util::leaves_root(from_path, copied.target, from_root))
    parent_tally.leave_tree.add(from.path);
  else if (!to.remote)
    parent_tally.created.push_back(to.path);
  settle(copied.target);
  if (&to == &target && moves && deleted(from.path, from.remote, "source_delete_failed") &&
      state != nullptr)
    state->forget(key);
}

}  // namespace KVO_Core
