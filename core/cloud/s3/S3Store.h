// S3-compatible object storage as a web store: buckets are the folders of the account's root,
// keys below a bucket are files, and a key prefix ending in "/" is a folder (also when only its
// zero-length marker object exists). Failures are thrown as RemoteFailure (http::Error or
// SshUnreachable); nothing is retried and no state survives a call.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/cloud/Entry.h"
#include "core/config/Accounts.h"
#include "core/run/CopyResult.h"

namespace KVO_Core::s3 {

// None when nothing is there. The root and a bucket are folders; an object's time is its mtime
// metadata, or the server's last-modified time for objects written by other tools.
std::optional<webdav::Entry> stat(SshAccount const& account, std::string const& path);
// The entries directly inside the folder, the root's being the buckets; a folder that does not
// exist lists as empty. Names that are no plain UTF-8 entry name are left out.
std::vector<webdav::Entry> list(SshAccount const& account, std::string const& path);
// Writes a folder marker; an existing folder, bucket or the root is success. Never makes buckets.
void make_directory(SshAccount const& account, std::string const& path);
// Deletes an object, or a folder's marker (objects below a folder are never touched).
void remove(SshAccount const& account, std::string const& path);
// Copies an object on the server and then deletes the source. Folders are never moved and an
// existing target is never replaced.
void move(SshAccount const& account, std::string const& from, std::string const& to);
// Streams the object into `local` and gives it the object's time. Cancelled on a stop request,
// the partial file left for the caller.
CopyResult download(SshAccount const& account, std::string const& remote,
                    std::filesystem::path const& local);
// Writes the file as one object carrying its mtime: one PUT up to 16 MiB, a multipart upload
// above. A failed or stopped upload leaves any earlier object as it was, and a multipart upload
// that was started is aborted.
CopyResult upload(std::filesystem::path const& local, SshAccount const& account,
                  std::string const& remote);

}  // namespace KVO_Core::s3
