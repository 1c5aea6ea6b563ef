#include "core/cloud/TokenRequest.h"

#include "core/cloud/oauth/AccessToken.h"

namespace KVO_Core {

TokenRequest::TokenRequest(SshAccount const& account, std::string const& url, char const* method)
    : token_(oauth::access_token(account)), request(url, method) {
  request.bearer(token_);
}

}  // namespace KVO_Core
