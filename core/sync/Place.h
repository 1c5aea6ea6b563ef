// One side of an item, local or remote: what the engine asks of a place where files live. An
// item run holds its two sides from its start; every path given to a side lies on that side.
// Failures come back as values (a PlaceFailure, a CopyFailure, none or an incomplete listing);
// no operation throws for a failed file operation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/config/SyncItem.h"
#include "core/run/CopyResult.h"
#include "core/sync/transfer/CopyFailure.h"
#include "utilities/FailureReasons.h"
#include "utilities/FilesystemUtil.h"

namespace KVO_Core {

// Why a side operation failed: the reason, the path it concerned and, where known, a text that
// says more than the reason's own.
struct PlaceFailure {
  Utilities::FilesystemUtil::FileInfoResult reason = Utilities::FilesystemUtil::no_failure;
  std::wstring path;
  std::wstring detail;

  explicit operator bool() const { return reason != Utilities::FilesystemUtil::no_failure; }
};

// What was seen of one file.
struct ObservedFile {
  std::uint64_t size = 0;
  std::filesystem::file_time_type mtime{};
};

// How a side stands when one file is observed.
enum class Standing : int { Present = 0, Missing = 1, Unavailable = 2, Unreadable = 3 };

enum class EntryKind : int { File, Directory, Link, Other };

// One entry of a listing; a link is a Link whatever it leads to.
struct PlaceEntry {
  std::wstring name;
  EntryKind kind = EntryKind::Other;
  std::uint64_t size = 0;
};

// A listing that failed or was cut short is not complete: what it misses is not gone. An
// incomplete listing carries the reason where one is known.
struct PlaceListing {
  std::vector<PlaceEntry> entries;
  bool complete = true;
  PlaceFailure failure;
};

// What stands at a path, a link not followed (a missing path: every field false).
struct EntryInfo {
  bool exists = false;
  bool is_link = false;
  bool is_dir = false;
  bool target_is_dir = false;
  bool resolves = false;
  std::wstring target;  // the link text; empty when unreadable or not a link
};

// Thrown by the walks when a listing failed (logged and reported where it failed), so that
// nothing below that folder counts as gone.
class ListingFailed : public std::runtime_error {
 public:
  explicit ListingFailed(std::wstring const& path);
};

// Whether a folder stands at a path, telling a failure from an answer.
enum class FolderPresence { Absent, Present, Unknown };

// A rename that must not replace: a taken destination is its own outcome.
enum class Renamed { Done, Taken, Failed };

class Place {
 public:
  virtual ~Place() = default;

  virtual bool remote() const = 0;
  // Whether a path names something of this side's kind (a remote side: its account's paths).
  virtual bool holds(std::wstring const& path) const = 0;

  // The entries of a folder except "." and ".."; remotely the listing logs and reports its own
  // failure.
  virtual PlaceListing list(std::wstring const& folder) const = 0;
  // Reads one file's size and time. Missing, Unavailable (no volume, no server) and Unreadable
  // come with their line logged; a local unreadable side's text goes to error_text when that is
  // still empty. The stamp (local sides only) may be null.
  virtual Standing observe(std::wstring const& path, ObservedFile& seen, std::wstring& error_text,
                           Utilities::FilesystemUtil::ChangeStamp* stamp = nullptr) const = 0;
  // Size and time when the file is Present; none otherwise.
  std::optional<ObservedFile> observe(std::wstring const& path) const;
  // What stands at the path; none when that cannot be told.
  virtual std::optional<EntryInfo> entry(std::wstring const& path) const = 0;
  // Whether anything stands at the path; false when unknown.
  virtual bool exists(std::wstring const& path) const = 0;
  virtual FolderPresence folder(std::wstring const& path) const = 0;
  // The canonical absolute path; none on failure.
  virtual std::optional<std::wstring> real_path(std::wstring const& path) const = 0;

  // Writes `path` on this side, a name that nothing else uses (a staging name locally), with the
  // bytes of `from` on `from_side`. Failed fills failure; Cancelled on a stop request.
  virtual CopyResult write(Place const& from_side, std::wstring const& from,
                           std::wstring const& path, CopyFailure& failure) const = 0;
  // The bytes of `path` into a new local file (the reading half of a write onto a local side).
  virtual CopyResult read_into(std::wstring const& path, std::wstring const& local_file,
                               CopyFailure& failure) const = 0;
  // Gives a staged file its final name, replacing what stands there only when asked.
  virtual PlaceFailure publish(std::wstring const& staged, std::wstring const& path,
                               bool replace) const = 0;
  // Renames without replacing anything at `to`.
  virtual Renamed rename(std::wstring const& from, std::wstring const& to,
                         PlaceFailure& failure) const = 0;
  // Removes one file or link (a missing one: file_not_exist).
  virtual PlaceFailure remove_file(std::wstring const& path) const = 0;
  // Deletes a user's file the way the settings ask (locally into the bin where asked); a
  // missing one: file_not_exist.
  virtual PlaceFailure discard(std::wstring const& path) const = 0;
  // Removes one empty folder; one that is not empty is left and gives file_conflict.
  virtual PlaceFailure remove_empty_folder(std::wstring const& path) const = 0;
  // Makes the folder and its missing parents.
  virtual PlaceFailure make_folders(std::wstring const& path) const = 0;
  virtual PlaceFailure set_time(std::wstring const& path,
                                std::filesystem::file_time_type const& time) const = 0;
  virtual PlaceFailure set_rights(std::wstring const& path,
                                  std::filesystem::perms rights) const = 0;
  // The link text at the path; none when it is no link or cannot be read.
  virtual std::optional<std::wstring> read_link(std::wstring const& path) const = 0;
  // Makes a link holding text at path (a folder link where the system tells them apart).
  virtual PlaceFailure make_link(std::wstring const& text, std::wstring const& path,
                                 bool to_folder) const = 0;

  virtual bool read_only(std::wstring const& path) const = 0;
  // Free room for a write at path {bytes, known}.
  virtual std::pair<std::uint64_t, bool> room(std::wstring const& path,
                                              bool old_destination_kept) const = 0;
  virtual bool keeps_links(std::wstring const& path) const = 0;
  // The reason a write that found no room gives.
  virtual Utilities::FilesystemUtil::FileInfoResult full_reason() const = 0;
};

// The two sides of an item run.
struct Sides {
  std::shared_ptr<Place const> source;
  std::shared_ptr<Place const> target;
};

// The side for an item's side (a local one when there is none); a remote side looks its account
// up once, when first asked.
std::shared_ptr<Place const> place_of(SyncItem const& item, std::unique_ptr<SyncPath> const& side);
Sides sides_of(SyncItem const& item);

}  // namespace KVO_Core
