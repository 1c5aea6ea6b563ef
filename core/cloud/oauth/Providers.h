// The three OAuth providers: their endpoints and what an interactive login asks of them.
// Everything here is immutable after its first use, so any thread may read it.
#pragma once

#include <string>
#include <vector>

#include "core/config/Accounts.h"

namespace KVO_Core {

namespace oauth {

// The endpoints of one provider. Every non-empty address is an https address; the client id and
// secret are build-time constants, empty unless the build supplies them.
struct Settings {
  std::string client_id;
  std::string client_secret;  // empty for a public client, and then never sent
  std::string authorize_url;
  std::string token_url;
  std::string api_url;      // carried for every provider; no operation reads it
  std::string content_url;  // the content host of uploads and downloads; empty but for Dropbox
};

// What an interactive login needs beyond the endpoints.
struct Provider {
  Settings const& (*settings)();
  char const* scope;            // "" requests none
  char const* authorize_extra;  // appended verbatim to the authorization address
  char const* redirect_host;
  std::vector<int> ports;  // tried in order; empty: one attempt on a port the system picks
};

Provider const& google();
Provider const& microsoft();
Provider const& dropbox();

// Kind 2 gives microsoft(), kind 3 dropbox(), every other kind google().
Provider const& provider_of(SshAccount const& account);
// The provider's settings carry a client id.
bool configured(Provider const& provider);

#ifdef PELLI_TEST_ENDPOINTS
// Test builds only: every endpoint of the three providers moves to `base` (a plain-http
// loopback address: "http://127.0.0.1:<port>" or "http://localhost:<port>") with its own path
// kept; a base that is not one is ignored and false returned. The environment variable
// PELLI_TEST_OAUTH_BASE does the same for a whole process at its first use of the settings.
bool point_endpoints_at(std::string const& base);
#endif

}  // namespace oauth

namespace google_auth {
oauth::Settings const& settings();
bool configured();
}  // namespace google_auth

namespace microsoft_auth {
oauth::Settings const& settings();
}  // namespace microsoft_auth

namespace dropbox_auth {
oauth::Settings const& settings();
}  // namespace dropbox_auth

}  // namespace KVO_Core
