// The rule by which every web store and the token exchange accept a base address.
#pragma once

#include <string>

namespace KVO_Core::webdav {

// True for https to any host, and for plain http only to localhost, 127.0.0.1 or [::1]; false
// for any other scheme or host, for an address with user information (credentials would go to
// a host the prefix does not show), and for text that is not a URL.
bool address_allowed(std::string const& url);
// Returns `url` when it is allowed; throws http::Error 37 ("webdav_url_not_https" and the
// address without credentials or query) otherwise.
std::string const& require_allowed(std::string const& url);

}  // namespace KVO_Core::webdav
