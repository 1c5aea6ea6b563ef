// The texts the Drive store builds: query literals, JSON strings and addresses.
#pragma once

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

}  // namespace KVO_Core::google_drive
