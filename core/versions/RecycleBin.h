// The recycle bin: a plain directory tree of deleted files, no index. Every operation holds the
// bin's mutex for its whole run; nothing in the bin or at a destination is ever overwritten.
#pragma once

#include <filesystem>
#include <mutex>
#include <vector>

#include "utilities/FailureReasons.h"

namespace KVO_Core {

class RecycleBin {
 public:
  // The one bin of the process; its folder starts as "<home>/.recyclebin" (".recyclebin" when no
  // home directory is known).
  static RecycleBin& instance();

  // A copy of the bin's folder, kept with the settings.
  std::filesystem::path bin_path() const;
  // Makes root the bin's folder; nothing is checked or created.
  void bin_path(std::filesystem::path const& root);

  // Moves file (a file, link or directory tree) to <root>/relative without replacing anything.
  // 0 done; 1 no file (not logged); 10 bad relative path or the place is taken; 13 read-only
  // source; 18 no room in the bin; else the reason of the failed creation, copy or removal.
  Utilities::FilesystemUtil::FileInfoResult add_refusal(std::filesystem::path const& file,
                                                        std::filesystem::path const& relative);
  bool add_item(std::filesystem::path const& file, std::filesystem::path const& relative);
  // relative names both the file below the working directory and its place in the bin.
  bool add_item(std::filesystem::path const& relative);

  // Something (a link itself, not followed) exists at <root>/relative; false for a bad path.
  bool has_item(std::filesystem::path const& relative) const;
  // Moves the item out to destination, never replacing one; false (logged) on any failure.
  bool take_item(std::filesystem::path const& relative, std::filesystem::path const& destination);
  // take_item back to relative (normalised), the counterpart of add_item(relative).
  bool restore_item(std::filesystem::path const& relative);
  // Deletes the item (file, link or empty directory) and the folders it leaves empty, never the
  // root. false, unlogged, when nothing was removed.
  bool remove_item(std::filesystem::path const& relative);
  // Every non-directory in the bin, relative to the root, in walk order; directory links are
  // neither listed nor entered. Empty when the root is missing.
  std::vector<std::filesystem::path> list_items() const;

  RecycleBin(RecycleBin const&) = delete;
  RecycleBin& operator=(RecycleBin const&) = delete;

 private:
  RecycleBin();
  // Refuses (logged) empty, rooted, escaping ("../x") and whole-bin ("." or "a/..") paths.
  bool check_relative(std::filesystem::path const& relative) const;
  Utilities::FilesystemUtil::FileInfoResult move(std::filesystem::path const& source,
                                                 std::filesystem::path const& destination) const;

  mutable std::mutex mutex_;
};

}  // namespace KVO_Core
