#include "core/cloud/gdrive/DriveText.h"

#include <ctime>

#include "core/cloud/http/Request.h"
#include "core/cloud/webdav/AddressAllowed.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

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
  if (!webdav::address_allowed(account.url)) {
    throw http::Error(Utilities::FilesystemUtil::unknown_error,
                      Utilities::translation::translate_utf8("webdav_url_not_https") + account.url);
  }
  return account.url + (upload ? "/upload" : "") + "/drive/v3/files" + suffix;
}

std::string rfc3339(std::int64_t seconds) {
  std::time_t const time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[64] = "";
  if (gmtime_r(&time, &parts)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::int64_t parse_rfc3339(std::string const& text) {
  std::tm parts{};
  if (!strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts)) return 0;
  return static_cast<std::int64_t>(timegm(&parts));
}

std::string origin_of(std::string_view url) {
  auto const scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  auto const end = url.find_first_of("/?#", scheme + 3);
  return Utilities::util::lowercase(std::string(url.substr(0, end)));
}

}  // namespace KVO_Core::google_drive
