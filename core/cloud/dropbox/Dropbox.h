// The Dropbox store: the seven web store operations on API v2, files addressed by path. JSON
// calls go to the account's address; downloads and uploads to the content host, their argument in
// the Dropbox-API-Arg header. Every request carries a fresh bearer token. Failures are thrown as
// RemoteFailure (SshUnreachable or http::Error); a stop request makes a transfer Cancelled.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/cloud/Entry.h"
#include "core/config/Accounts.h"
#include "core/run/CopyResult.h"

namespace KVO_Core::dropbox {

// A listing that needs more pages than this fails rather than running on.
inline constexpr std::size_t MAX_LISTING_PAGES = 10000;

// None when nothing is at the path or only a deleted file; the root is a folder, asked nothing.
std::optional<webdav::Entry> stat(SshAccount const& account, std::string const& path);
// Every page of the folder's files and folders.
std::vector<webdav::Entry> list(SshAccount const& account, std::string const& folder);
// A folder already at the path counts as made.
void make_directory(SshAccount const& account, std::string const& path);
// A folder goes with its contents.
void remove(SshAccount const& account, std::string const& path);
// Never replaces anything at `to`: the service refuses, and so does the move.
void move(SshAccount const& account, std::string const& from, std::string const& to);
CopyResult download(SshAccount const& account, std::string const& remote,
                    std::filesystem::path const& local);
// Files above PIECE_SIZE go up in pieces through one upload session, committed with the last.
CopyResult upload(std::filesystem::path const& local, SshAccount const& account,
                  std::string const& remote);

}  // namespace KVO_Core::dropbox
