// The store of WebDAV accounts (kind 0 with a url): PROPFIND, MKCOL, DELETE, MOVE, GET and PUT
// with basic authentication, and the modification time sent as "X-OC-Mtime" to servers that
// keep it. The seven operations keep the web-store contract of core/cloud/CloudStore.h.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/cloud/Entry.h"
#include "core/config/Accounts.h"
#include "core/run/CopyResult.h"

namespace KVO_Core::webdav {

inline constexpr char PROPFIND_BODY[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><D:propfind xmlns:D=\"DAV:\"><D:prop>"
    "<D:resourcetype/><D:getcontentlength/><D:getlastmodified/></D:prop></D:propfind>";
inline constexpr char NEXTCLOUD_FILES[] = "/remote.php/dav/files/";
inline constexpr char NEXTCLOUD_LEGACY[] = "/remote.php/webdav";
inline constexpr char MTIME_ACCEPTED[] = "accepted";

// The URL of a path below a base address: trailing "/" of the base dropped, each piece of the
// path percent-encoded after a "/", and one more "/" for a folder. "", "/" and "//" name the
// base itself.
std::string url_of(std::string const& base, std::string const& path, bool as_directory);

// None when nothing is at the path. A 207 that does not name the path itself is a failure.
std::optional<Entry> stat(SshAccount const& account, std::string const& path);
// Only the direct children of the folder, with plain entry names; a failure is thrown, never
// an empty list.
std::vector<Entry> list(SshAccount const& account, std::string const& folder);
void make_directory(SshAccount const& account, std::string const& path);
void remove(SshAccount const& account, std::string const& path);
// Never replaces an existing target: one that is there fails the move before it is asked for,
// and the server is told not to overwrite.
void move(SshAccount const& account, std::string const& from, std::string const& to);
CopyResult download(SshAccount const& account, std::string const& remote,
                    std::filesystem::path const& local);
CopyResult upload(std::filesystem::path const& local, SshAccount const& account,
                  std::string const& remote);

// The WebDAV root to keep as the account's url: the base itself, or the usual roots below it
// of servers of the ownCloud family, whichever first answers a PROPFIND with 207. Throws Error
// 23 on a refused login and Error 37 when none answers.
std::string working_address(SshAccount const& account);

}  // namespace KVO_Core::webdav
