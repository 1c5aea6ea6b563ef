#include "core/cloud/TokenRequest.h"

#include "core/cloud/oauth/AccessToken.h"

namespace KVO_Core {

TokenRequest::TokenRequest(SshAccount const& account, std::string const& url, char const* method)
    : TokenRequest(oauth::access_token(account), url, method) {}

TokenRequest::TokenRequest(std::string const& token, std::string const& url, char const* method)
    : request(url, method) {
  request.bearer(token);
}

}  // namespace KVO_Core
