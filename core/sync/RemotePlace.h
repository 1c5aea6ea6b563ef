// A remote side: the paths of one account, served by the remote dispatch. The dispatch's
// thread-local failure reason is taken here and goes no further than the values returned.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "core/config/Accounts.h"
#include "core/sync/Place.h"

namespace KVO_Core {

class RemotePlace : public Place {
 public:
  // `root`: a path of the side ("account:/path"); its account is looked up once, when first
  // needed. A rename onto a taken name is Taken when the dispatch refuses it with file_conflict.
  explicit RemotePlace(std::wstring const& root);

  bool remote() const override { return true; }
  bool holds(std::wstring const& path) const override;
  PlaceListing list(std::wstring const& folder) const override;
  Standing observe(std::wstring const& path, ObservedFile& seen, std::wstring& error_text,
                   Utilities::FilesystemUtil::ChangeStamp* stamp = nullptr) const override;
  using Place::observe;
  std::optional<EntryInfo> entry(std::wstring const& path) const override;
  bool exists(std::wstring const& path) const override;
  FolderPresence folder(std::wstring const& path) const override;
  std::optional<std::wstring> real_path(std::wstring const& path) const override;
  CopyResult write(Place const& from_side, std::wstring const& from, std::wstring const& path,
                   CopyFailure& failure) const override;
  CopyResult read_into(std::wstring const& path, std::wstring const& local_file,
                       CopyFailure& failure) const override;
  PlaceFailure publish(std::wstring const& staged, std::wstring const& path,
                       bool replace) const override;
  Renamed rename(std::wstring const& from, std::wstring const& to,
                 PlaceFailure& failure) const override;
  PlaceFailure remove_file(std::wstring const& path) const override;
  PlaceFailure discard(std::wstring const& path) const override;
  PlaceFailure remove_empty_folder(std::wstring const& path) const override;
  PlaceFailure make_folders(std::wstring const& path) const override;
  PlaceFailure set_time(std::wstring const& path,
                        std::filesystem::file_time_type const& time) const override;
  PlaceFailure set_rights(std::wstring const& path, std::filesystem::perms rights) const override;
  std::optional<std::wstring> read_link(std::wstring const& path) const override;
  PlaceFailure make_link(std::wstring const& text, std::wstring const& path,
                         bool to_folder) const override;
  bool read_only(std::wstring const& path) const override;
  std::pair<std::uint64_t, bool> room(std::wstring const& path,
                                      bool old_destination_kept) const override;
  bool keeps_links(std::wstring const& path) const override;
  Utilities::FilesystemUtil::FileInfoResult full_reason() const override {
    return Utilities::FilesystemUtil::remote_storage_full;
  }

 private:
  std::wstring account_name_;
  mutable std::once_flag looked_up_;
  mutable std::optional<SshAccount> account_;
};

}  // namespace KVO_Core
