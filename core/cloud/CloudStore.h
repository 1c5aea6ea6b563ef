// The web-store contract and the dispatch by account kind. Each store (webdav, google_drive,
// one_drive, dropbox, s3) offers these seven operations with the same signatures; the remote
// dispatch calls nothing else of the web stores for files.
//
// No operation reports a failure through its result: failures are thrown as RemoteFailure
// (SshUnreachable for a server out of reach, http::Error with its reason otherwise). A stop
// request ends a transfer with CopyResult::Cancelled; transfers never return Failed. A base
// address that webdav::address_allowed refuses fails before any request is sent.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/cloud/Entry.h"
#include "core/config/Accounts.h"
#include "core/run/CopyResult.h"

namespace KVO_Core::cloud_store {

// True for kinds 1 to 4, and for kind 0 with a url (WebDAV); false means an SFTP account.
bool handles(SshAccount const& account);

// Paths are UTF-8 paths on the account (the part after the account name and its colon).
// None when nothing exists at the path.
std::optional<webdav::Entry> stat(SshAccount const& account, std::string const& path);
// The entries directly inside the folder (not the folder itself), each a plain entry name.
std::vector<webdav::Entry> list(SshAccount const& account, std::string const& folder);
// A folder already at the path counts as success.
void make_directory(SshAccount const& account, std::string const& path);
// Removes a file or a folder.
void remove(SshAccount const& account, std::string const& path);
// Renames or moves within the account; never replaces an existing target.
void move(SshAccount const& account, std::string const& from, std::string const& to);
CopyResult download(SshAccount const& account, std::string const& remote,
                    std::filesystem::path const& local);
CopyResult upload(std::filesystem::path const& local, SshAccount const& account,
                  std::string const& remote);

}  // namespace KVO_Core::cloud_store
