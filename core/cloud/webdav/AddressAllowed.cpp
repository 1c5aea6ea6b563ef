#include "core/cloud/webdav/AddressAllowed.h"

#include <curl/curl.h>

#include <memory>

#include "core/cloud/http/Request.h"
#include "utilities/Translation.h"

namespace KVO_Core::webdav {

namespace {

struct UrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct TextFree {
  void operator()(char* text) const { curl_free(text); }
};
using Url = std::unique_ptr<CURLU, UrlFree>;
using Text = std::unique_ptr<char, TextFree>;

// The part of a parsed URL; none when absent.
Text part_of(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK) return nullptr;
  return Text(text);
}

}  // namespace

bool address_allowed(std::string const& url) {
  // Schemes are matched as written: the URL parser lower-cases them.
  bool const https = url.starts_with("https://");
  if (!https && !url.starts_with("http://")) return false;
  // libcurl's parser stops at none of these; a server would take them for parts of the path.
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7f || c == '\\') return false;
  }
  Url const parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return false;
  }
  if (part_of(parsed.get(), CURLUPART_USER) || part_of(parsed.get(), CURLUPART_PASSWORD) ||
      part_of(parsed.get(), CURLUPART_OPTIONS)) {
    return false;
  }
  Text const host = part_of(parsed.get(), CURLUPART_HOST);
  if (!host || host.get()[0] == 0) return false;
  if (https) return true;
  std::string const name(host.get());
  return name == "localhost" || name == "127.0.0.1" || name == "[::1]";
}

std::string const& require_allowed(std::string const& url) {
  if (!address_allowed(url)) {
    throw http::Error(
        Utilities::FilesystemUtil::unknown_error,
        Utilities::translation::translate_utf8("webdav_url_not_https") + http::loggable_url(url));
  }
  return url;
}

}  // namespace KVO_Core::webdav
