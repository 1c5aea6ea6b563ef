#include "core/cloud/CloudStore.h"

#include "core/cloud/dropbox/Dropbox.h"
#include "core/cloud/gdrive/GoogleDrive.h"
#include "core/cloud/onedrive/OneDrive.h"
#include "core/cloud/s3/S3Store.h"
#include "core/cloud/webdav/WebdavStore.h"

namespace KVO_Core::cloud_store {

// Calls the operation of the account's store. Nothing is checked or caught here: every
// exception of a store reaches the caller unchanged.
#define PELLI_DISPATCH(operation, ...)             \
  switch (account.kind) {                          \
    case SshAccount::GoogleDrive:                  \
      return google_drive::operation(__VA_ARGS__); \
    case SshAccount::OneDrive:                     \
      return one_drive::operation(__VA_ARGS__);    \
    case SshAccount::Dropbox:                      \
      return dropbox::operation(__VA_ARGS__);      \
    case SshAccount::S3:                           \
      return s3::operation(__VA_ARGS__);           \
    default:                                       \
      return webdav::operation(__VA_ARGS__);       \
  }

bool handles(SshAccount const& account) {
  return (account.kind >= SshAccount::GoogleDrive && account.kind <= SshAccount::S3) ||
         (account.kind == SshAccount::Ssh && !account.url.empty());
}

std::optional<webdav::Entry> stat(SshAccount const& account,
                                  std::string const& path){PELLI_DISPATCH(stat, account, path)}

std::vector<webdav::Entry> list(SshAccount const& account, std::string const& folder) {
  PELLI_DISPATCH(list, account, folder)
}

void make_directory(SshAccount const& account, std::string const& path) {
  PELLI_DISPATCH(make_directory, account, path)
}

void remove(SshAccount const& account, std::string const& path) {
  PELLI_DISPATCH(remove, account, path)
}

void move(SshAccount const& account, std::string const& from,
          std::string const& to){PELLI_DISPATCH(move, account, from, to)}

CopyResult
    download(SshAccount const& account, std::string const& remote,
             std::filesystem::path const& local){PELLI_DISPATCH(download, account, remote, local)}

CopyResult upload(std::filesystem::path const& local, SshAccount const& account,
                  std::string const& remote) {
  PELLI_DISPATCH(upload, local, account, remote)
}

}  // namespace KVO_Core::cloud_store
