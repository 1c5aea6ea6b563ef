#include "core/sync/LocalPlace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/sync/transfer/LocalBlockCopy.h"
#include "core/versions/DeleteOrRecycle.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Links.h"
#include "utilities/Logging.h"
#include "utilities/NoClobber.h"
#include "utilities/Paths.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace fs = std::filesystem;
namespace fsu = Utilities::FilesystemUtil;
using Utilities::LogLevel;

namespace {

fs::path parent_of(std::wstring const& path) {
  auto folder = Utilities::to_path(path).parent_path();
  return folder.empty() ? fs::path(".") : folder;
}

PlaceFailure written(std::wstring const& path, std::error_code const& error) {
  if (!error) return {};
  return {fsu::reason_for_write_failure(error), path,
          Utilities::util::string_to_wstring(error.message())};
}

PlaceFailure refusal(std::wstring const& path, fsu::FileInfoResult reason) {
  if (reason == 0) return {};
  return {reason, path, {}};
}

EntryKind kind_of(fs::file_type type) {
  switch (type) {
    case fs::file_type::regular:
      return EntryKind::File;
    case fs::file_type::directory:
      return EntryKind::Directory;
    case fs::file_type::symlink:
      return EntryKind::Link;
    default:
      return EntryKind::Other;
  }
}

}  // namespace

bool LocalPlace::holds(std::wstring const& path) const { return !path.empty() && path[0] == L'/'; }

PlaceListing LocalPlace::list(std::wstring const& folder) const {
  PlaceListing listing;
  std::error_code ec;
  fs::directory_iterator it(Utilities::to_path(folder), ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    PlaceEntry entry{Utilities::from_path(it->path().filename()),
                     kind_of(it->symlink_status(ignored).type()), 0};
    if (entry.kind == EntryKind::File) entry.size = it->file_size(ignored);
    listing.entries.push_back(std::move(entry));
  }
  listing.complete = !ec;
  if (ec) listing.failure = {fsu::reason_for_failure(ec), folder, fsu::failure_text(ec)};
  return listing;
}

Standing LocalPlace::observe(std::wstring const& path, ObservedFile& seen, std::wstring& error_text,
                             fsu::ChangeStamp* stamp) const {
  fsu::FileInfoResult const reason = fsu::fileinfo(path, seen.size, seen.mtime, stamp);
  if (reason == 0) return Standing::Present;
  std::wstring const text = fsu::make_error_message(reason) + L": " + path;
  Utilities::log_at(LogLevel::Info, text);
  if (reason == fsu::file_not_exist || reason == fsu::directory_not_exist) return Standing::Missing;
  if (reason == fsu::drive_not_mounted) return Standing::Unavailable;
  if (error_text.empty()) error_text = text;
  return Standing::Unreadable;
}

std::optional<EntryInfo> LocalPlace::entry(std::wstring const& path) const {
  fs::path const p = Utilities::to_path(path);
  std::error_code ec;
  fs::file_status const status = fs::symlink_status(p, ec);
  if (status.type() == fs::file_type::not_found) return EntryInfo{};
  if (ec) return std::nullopt;
  EntryInfo info;
  info.exists = true;
  info.is_dir = status.type() == fs::file_type::directory;
  if (status.type() != fs::file_type::symlink) return info;
  Utilities::symlink_util::LinkInfo const link = Utilities::symlink_util::link_info(p);
  if (link.reason != 0) return std::nullopt;
  info.is_link = true;
  info.target = Utilities::from_path(link.text);
  info.resolves = link.target_exists;
  info.target_is_dir = link.target_is_dir;
  return info;
}

bool LocalPlace::exists(std::wstring const& path) const {
  struct stat st {};
  return ::lstat(Utilities::to_path(path).c_str(), &st) == 0;
}

FolderPresence LocalPlace::folder(std::wstring const& path) const {
  std::error_code ec;
  fs::file_status const status = fs::status(Utilities::to_path(path), ec);
  if (status.type() == fs::file_type::directory) return FolderPresence::Present;
  if (ec && status.type() != fs::file_type::not_found) return FolderPresence::Unknown;
  return FolderPresence::Absent;
}

std::optional<std::wstring> LocalPlace::real_path(std::wstring const& path) const {
  std::error_code ec;
  fs::path const real = fs::canonical(Utilities::to_path(path), ec);
  if (ec) return std::nullopt;
  return Utilities::from_path(real);
}

CopyResult LocalPlace::write(Place const& from_side, std::wstring const& from,
                             std::wstring const& path, CopyFailure& failure) const {
  if (from_side.remote()) return from_side.read_into(from, path, failure);
  return block_copy(from, path, failure);
}

CopyResult LocalPlace::read_into(std::wstring const& path, std::wstring const& local_file,
                                 CopyFailure& failure) const {
  return block_copy(path, local_file, failure);
}

PlaceFailure LocalPlace::publish(std::wstring const& staged, std::wstring const& path,
                                 bool replace) const {
  fs::path const from = Utilities::to_path(staged);
  fs::path const to = Utilities::to_path(path);
  std::error_code const error =
      replace
          ? (::rename(from.c_str(), to.c_str()) == 0 ? std::error_code() : fsu::last_stream_error())
          : Utilities::no_clobber::rename(from, to);
  if (!error) return {};
  return {fsu::reason_for_write_failure(error), path, fsu::failure_text(error)};
}

Renamed LocalPlace::rename(std::wstring const& from, std::wstring const& to,
                           PlaceFailure& failure) const {
  std::error_code const error =
      Utilities::no_clobber::rename(Utilities::to_path(from), Utilities::to_path(to));
  failure = written(to, error);
  if (!error) return Renamed::Done;
  return error == std::errc::file_exists ? Renamed::Taken : Renamed::Failed;
}

PlaceFailure LocalPlace::remove_file(std::wstring const& path) const {
  return refusal(path, fsu::remove_refusal(path));
}

PlaceFailure LocalPlace::discard(std::wstring const& path) const {
  return refusal(path, delete_refusal(path));
}

PlaceFailure LocalPlace::remove_empty_folder(std::wstring const& path) const {
  // rmdir only: a file that arrived since the caller looked makes it fail, and nothing is lost.
  if (::rmdir(Utilities::to_path(path).c_str()) == 0) return {};
  int const error = errno;
  if (error == ENOTEMPTY || error == EEXIST) return {fsu::file_conflict, path, {}};
  return {fsu::reason_for_failure(std::error_code(error, std::generic_category())), path, {}};
}

PlaceFailure LocalPlace::make_folders(std::wstring const& path) const {
  std::error_code ec;
  fsu::FileInfoResult const reason = fsu::create_directory_refusal(Utilities::to_path(path), ec);
  if (reason == 0) return {};
  return {reason, path, fsu::failure_text(ec)};
}

PlaceFailure LocalPlace::set_time(std::wstring const& path, fs::file_time_type const& time) const {
  return refusal(path, fsu::write_time_refusal(path, time));
}

PlaceFailure LocalPlace::set_rights(std::wstring const& path, fs::perms rights) const {
  return refusal(path, fsu::permissions_refusal(path, rights));
}

std::optional<std::wstring> LocalPlace::read_link(std::wstring const& path) const {
  std::error_code ec;
  fs::path const text = fs::read_symlink(Utilities::to_path(path), ec);
  if (ec) return std::nullopt;
  return Utilities::from_path(text);
}

PlaceFailure LocalPlace::make_link(std::wstring const& text, std::wstring const& path,
                                   bool to_folder) const {
  return refusal(path, Utilities::symlink_util::create_link_refusal(
                           Utilities::to_path(text), Utilities::to_path(path), to_folder));
}

bool LocalPlace::read_only(std::wstring const& path) const {
  // The path's own file system, or that of the nearest folder above that exists.
  return fsu::read_only_filesystem(Utilities::to_path(path));
}

std::pair<std::uint64_t, bool> LocalPlace::room(std::wstring const& path, bool) const {
  std::optional<std::uint64_t> const free = fsu::free_space(parent_of(path));
  return {free.value_or(0), free.has_value()};
}

}  // namespace KVO_Core
