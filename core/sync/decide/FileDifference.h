// Classifying one file pair: both sides are read once and compared by the item's criteria (size,
// time, content) and, for a two-way item, against the pair's remembered state.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/config/SyncItem.h"
#include "core/sync/Place.h"
#include "core/sync/state/SyncState.h"
#include "utilities/FilesystemUtil.h"

namespace KVO_Core {

class ReadAhead;

class FileDifference {
 public:
  using Side = Standing;

  enum class Result : int {
    Equal = 0,
    SourceModified = 1,
    DestModified = 2,
    DestNotExists = 3,
    SourceNotExits = 4,
    SourceDriveNotMounted = 5,
    DestDriveNotMounted = 6,
    ContentConflict = 7,
    SourceDeleted = 8,
    DestDeleted = 9,
    BothModified = 10,
    NeitherExists = 11,
    SourceNotReadable = 12,
    DestNotReadable = 13,
  };

  // Keeps base only for a two-way item. An encrypted target drops the content test for the time
  // test; a remote side replaces the content test by size and time.
  FileDifference(std::wstring source, std::wstring dest, CompareItems const& items, SSHPATH ssh,
                 bool two_way, FileState const* base, bool target_encrypted);

  // Reads both sides and classifies them into `result`; gives the source's size as read.
  std::uint64_t operator()();

  Result result_of(Side source_side, Side target_side);
  Result source_missing(bool target_missing) const;
  Result dest_missing() const;
  Result compare_with_base() const;
  Result compare_metadata(std::filesystem::file_time_type source_time,
                          std::filesystem::file_time_type target_time) const;
  // May change result and error_text (content differs, or a side cannot be read).
  void compare_content(std::filesystem::file_time_type source_time,
                       std::filesystem::file_time_type target_time);
  bool unchanged(std::uint64_t size, std::filesystem::file_time_type time,
                 std::filesystem::file_time_type remembered) const;
  // a lies more than the tolerance after b (whole seconds when a side is remote).
  bool newer(std::filesystem::file_time_type a, std::filesystem::file_time_type b) const;
  // Same size and times within the tolerance.
  bool alike() const;
  bool left_encrypted() const;

  bool source_remote() const { return ssh == SSHPATH::Source || ssh == SSHPATH::Both; }
  bool dest_remote() const { return ssh == SSHPATH::Target || ssh == SSHPATH::Both; }

  std::wstring source;
  std::wstring dest;
  // The sides the two paths lie on; ones left empty are made from ssh when the pair is read.
  Sides sides;
  std::uint64_t source_size = 0;
  std::uint64_t dest_size = 0;
  std::filesystem::file_time_type source_mtime{};
  std::filesystem::file_time_type dest_mtime{};
  CompareItems items;
  SSHPATH ssh;
  bool two_way;
  bool target_encrypted;
  FileState const* base;
  Result result = Result::Equal;
  std::wstring error_text;  // the first unreadable side's text
  // The item whose pairs found equal by reading are remembered (SettledPairs); none: every
  // content comparison reads.
  std::wstring const* settled_item = nullptr;
  // The walk's readings ahead of it; none: the pair is read here.
  ReadAhead* read_ahead = nullptr;
  Utilities::FilesystemUtil::ChangeStamp source_stamp;  // of local sides, as read
  Utilities::FilesystemUtil::ChangeStamp dest_stamp;
  // A local side the caller already found to be a regular file, with what it read into
  // source_size/dest_size, the times and the stamps: not read again.
  bool source_known = false;
  bool dest_known = false;
};

// The name of a result as logged ("Undefined" outside 0..13).
std::wstring result_name(FileDifference::Result result);

}  // namespace KVO_Core
