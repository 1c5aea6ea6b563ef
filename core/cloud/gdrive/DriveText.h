// The texts the Drive store builds: query literals, JSON strings, addresses and times.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/cloud/JsonText.h"
#include "core/config/Accounts.h"

namespace KVO_Core::google_drive {

// A literal of the Drive query language: in single quotes, backslash and apostrophe escaped.
std::string query_text(std::string_view text);
using cloud_json::json_text;
// The account's url + ("/upload" when upload) + "/drive/v3/files" + suffix; throws http::Error
// 37 ("webdav_url_not_https" + address) for an address that may not be used.
std::string files_url(SshAccount const& account, std::string const& suffix, bool upload);
// "%Y-%m-%dT%H:%M:%SZ" of Unix seconds in UTC.
std::string rfc3339(std::int64_t seconds);
// Unix seconds of "%Y-%m-%dT%H:%M:%S" and anything after it, as UTC; 0 when it does not read.
std::int64_t parse_rfc3339(std::string const& text);
// "scheme://host[:port]" of an address, lower-cased; empty when it has no "://".
std::string origin_of(std::string_view url);

}  // namespace KVO_Core::google_drive
