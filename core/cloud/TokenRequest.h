// A request of a store whose account holds an OAuth refresh token, sent with a bearer token.
#pragma once

#include <string>

#include "core/cloud/http/Request.h"
#include "core/config/Accounts.h"

namespace KVO_Core {

class TokenRequest {
 public:
  // The token is fetched before the request is set up: fetching it runs a request of its own on
  // the thread's handle. Throws what oauth::access_token throws.
  TokenRequest(SshAccount const& account, std::string const& url, char const* method);

  http::Request request;

 private:
  TokenRequest(std::string const& token, std::string const& url, char const* method);
};

}  // namespace KVO_Core
