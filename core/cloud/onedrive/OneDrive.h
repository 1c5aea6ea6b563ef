// The OneDrive store: the seven web store operations on the graph drive API, items addressed by
// path below the signed-in user's drive root. Every graph call carries a fresh bearer token; the
// download and upload addresses that graph hands out get none. Failures are thrown as
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

namespace KVO_Core::one_drive {

// A listing that needs more pages than this fails rather than running on.
inline constexpr std::size_t MAX_LISTING_PAGES = 10000;

// None when nothing is at the path; the drive root is always a folder.
std::optional<webdav::Entry> stat(SshAccount const& account, std::string const& path);
// Every page of the folder's children; a next page is followed only on the account's own server.
std::vector<webdav::Entry> list(SshAccount const& account, std::string const& folder);
// A folder already at the path counts as made.
void make_directory(SshAccount const& account, std::string const& path);
// A folder goes with its contents; a missing item fails with reason 1.
void remove(SshAccount const& account, std::string const& path);
// Never replaces anything at `to` (in any letter case): that fails before a change.
void move(SshAccount const& account, std::string const& from, std::string const& to);
CopyResult download(SshAccount const& account, std::string const& remote,
                    std::filesystem::path const& local);
// Files above 0 bytes go up in pieces of PIECE_SIZE through one upload session, which the
// service commits only with the last piece.
CopyResult upload(std::filesystem::path const& local, SshAccount const& account,
                  std::string const& remote);

}  // namespace KVO_Core::one_drive
