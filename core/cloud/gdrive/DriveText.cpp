#include "core/cloud/gdrive/DriveText.h"

#include "core/cloud/webdav/AddressAllowed.h"

namespace KVO_Core::google_drive {

std::string query_text(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  return out + "'";
}

std::string files_url(SshAccount const& account, std::string const& suffix, bool upload) {
  return webdav::require_allowed(account.url) + (upload ? "/upload" : "") + "/drive/v3/files" +
         suffix;
}

}  // namespace KVO_Core::google_drive
