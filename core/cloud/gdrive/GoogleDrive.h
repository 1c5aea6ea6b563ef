// A Google Drive (account kind 1) reached by path through the Drive v3 files interface. Drive
// addresses files by id, so paths are resolved folder by folder and the folders' ids cached.
// Failures are thrown as RemoteFailure (http::Error or SshUnreachable), never returned.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/cloud/Entry.h"
#include "core/config/Accounts.h"
#include "core/run/CopyResult.h"

namespace KVO_Core::google_drive {

// None when nothing (or only a native Google document) is at the path; the root for "" and "/".
std::optional<webdav::Entry> stat(SshAccount const& account, std::string const& path);
// The folder's entries with plain names, in the Drive's order.
std::vector<webdav::Entry> list(SshAccount const& account, std::string const& folder);
// A folder already there counts as done; a file of that name is "google_drive_name_taken".
void make_directory(SshAccount const& account, std::string const& path);
// Moves the file or folder to the Drive's trash.
void remove(SshAccount const& account, std::string const& path);
// Renames and moves between folders; never replaces what is at `to`.
void move(SshAccount const& account, std::string const& from, std::string const& to);
// Done, or Cancelled when a stop request ended the transfer (the partial file stays).
CopyResult download(SshAccount const& account, std::string const& remote,
                    std::filesystem::path const& local);
// Sends the file with its modification time in one piece of a resumable upload; Done or
// Cancelled. Nothing is committed by a failed or cut transfer.
CopyResult upload(std::filesystem::path const& local, SshAccount const& account,
                  std::string const& remote);

// Forgets every cached folder id; called when a run starts, so that folders another client
// changed meanwhile are looked up again.
void forget_folder_ids();

}  // namespace KVO_Core::google_drive
