// The local file through which a copy between two remote sides passes when no stream can join
// them: it lies in a folder of its own (0700) under the system's temporary folder, is created by
// the download exclusively with 0600, and goes with its folder whatever the copy's outcome.
#pragma once

#include <filesystem>
#include <string>

#include "core/run/CopyResult.h"

namespace KVO_Core {

class TransferFile {
 public:
  // Throws std::filesystem::filesystem_error when the system has no temporary folder or the
  // private folder cannot be made there.
  TransferFile();
  ~TransferFile();
  TransferFile(TransferFile const&) = delete;
  TransferFile& operator=(TransferFile const&) = delete;

  // Where the file goes; nothing stands there until the download makes it.
  std::filesystem::path const& path() const { return path_; }
  // Removes the file and its folder, ignoring errors (done again by the destructor).
  void remove() const;

 private:
  std::filesystem::path folder_;
  std::filesystem::path path_;
};

// Downloads `from` into a TransferFile and uploads a complete download to `to`; a failed or
// stopped download is not uploaded and gives the copy's result. Throws only as TransferFile's
// constructor does.
CopyResult copy_through_transfer_file(std::wstring const& from, std::wstring const& to);

}  // namespace KVO_Core
