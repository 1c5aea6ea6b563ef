// The providers' endpoints and login parameters.
#include "core/cloud/oauth/Providers.h"

#include <cctype>
#include <cstdlib>
#include <string_view>

#ifndef PELLI_GOOGLE_CLIENT_ID
#define PELLI_GOOGLE_CLIENT_ID ""
#endif
#ifndef PELLI_GOOGLE_CLIENT_SECRET
#define PELLI_GOOGLE_CLIENT_SECRET ""
#endif
#ifndef PELLI_MICROSOFT_CLIENT_ID
#define PELLI_MICROSOFT_CLIENT_ID ""
#endif
#ifndef PELLI_DROPBOX_APP_KEY
#define PELLI_DROPBOX_APP_KEY ""
#endif

namespace KVO_Core {

namespace {

constexpr char const* CLIENT_ID = PELLI_GOOGLE_CLIENT_ID;
constexpr char const* CLIENT_SECRET = PELLI_GOOGLE_CLIENT_SECRET;
constexpr char const* MICROSOFT_CLIENT_ID = PELLI_MICROSOFT_CLIENT_ID;
constexpr char const* DROPBOX_APP_KEY = PELLI_DROPBOX_APP_KEY;

constexpr char const* GOOGLE_SCOPE = "https://www.googleapis.com/auth/drive.file";
constexpr char const* MICROSOFT_SCOPE = "Files.ReadWrite offline_access";

struct Endpoints {
  oauth::Settings google;
  oauth::Settings microsoft;
  oauth::Settings dropbox;
};

#ifdef PELLI_TEST_ENDPOINTS
bool loopback_base(std::string_view base) {
  for (std::string_view prefix : {"http://127.0.0.1:", "http://localhost:"}) {
    if (!base.starts_with(prefix)) continue;
    auto port = base.substr(prefix.size());
    if (port.empty() || port.size() > 5) return false;
    for (char c : port) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
  }
  return false;
}

void rebase(std::string& url, std::string const& base) {
  if (url.empty()) return;
  auto host = url.find("://");
  auto path = url.find('/', host + 3);
  url = base + (path == std::string::npos ? std::string() : url.substr(path));
}

void rebase(Endpoints& all, std::string const& base) {
  for (auto* settings : {&all.google, &all.microsoft, &all.dropbox}) {
    for (auto* url : {&settings->authorize_url, &settings->token_url, &settings->api_url,
                      &settings->content_url}) {
      rebase(*url, base);
    }
  }
}
#endif

Endpoints& endpoints() {
  static Endpoints all = [] {
    Endpoints made{
        {CLIENT_ID, CLIENT_SECRET, "https://accounts.google.com/o/oauth2/v2/auth",
         "https://oauth2.googleapis.com/token", "https://www.googleapis.com", ""},
        {MICROSOFT_CLIENT_ID, "", "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
         "https://login.microsoftonline.com/common/oauth2/v2.0/token",
         "https://graph.microsoft.com/v1.0", ""},
        {DROPBOX_APP_KEY, "", "https://www.dropbox.com/oauth2/authorize",
         "https://api.dropboxapi.com/oauth2/token", "https://api.dropboxapi.com/2",
         "https://content.dropboxapi.com/2"}};
#ifdef PELLI_TEST_ENDPOINTS
    char const* base = std::getenv("PELLI_TEST_OAUTH_BASE");
    if (base && loopback_base(base)) rebase(made, base);
#endif
    return made;
  }();
  return all;
}

}  // namespace

namespace google_auth {
oauth::Settings const& settings() { return endpoints().google; }
bool configured() { return !settings().client_id.empty(); }
}  // namespace google_auth

namespace microsoft_auth {
oauth::Settings const& settings() { return endpoints().microsoft; }
}  // namespace microsoft_auth

namespace dropbox_auth {
oauth::Settings const& settings() { return endpoints().dropbox; }
}  // namespace dropbox_auth

namespace oauth {

Provider const& google() {
  static Provider const provider{
      google_auth::settings, GOOGLE_SCOPE, "&access_type=offline&prompt=consent", "127.0.0.1", {}};
  return provider;
}

Provider const& microsoft() {
  static Provider const provider{microsoft_auth::settings, MICROSOFT_SCOPE, "", "localhost", {}};
  return provider;
}

Provider const& dropbox() {
  static Provider const provider{
      dropbox_auth::settings, "", "&token_access_type=offline", "localhost", {53682, 53683, 53684}};
  return provider;
}

Provider const& provider_of(SshAccount const& account) {
  if (account.kind == SshAccount::OneDrive) return microsoft();
  if (account.kind == SshAccount::Dropbox) return dropbox();
  return google();
}

bool configured(Provider const& provider) { return !provider.settings().client_id.empty(); }

#ifdef PELLI_TEST_ENDPOINTS
bool point_endpoints_at(std::string const& base) {
  if (!loopback_base(base)) return false;
  // Only the paths are kept, so a second call moves the endpoints again.
  auto& all = endpoints();
  rebase(all, base);
  return true;
}
#endif

}  // namespace oauth

}  // namespace KVO_Core
