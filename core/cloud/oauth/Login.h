// The interactive login: an authorization code with PKCE (S256), brought back by the browser
// to a listener on 127.0.0.1 and exchanged for a refresh token. Used by one thread; one login
// serves one authorization.
#pragma once

#include <chrono>
#include <string>

#include "core/cloud/oauth/Providers.h"
#include "platform/FileDescriptor.h"

namespace KVO_Core::oauth {

class Login {
 public:
  // Opens the listener on the first of the provider's ports that can be bound (a port the
  // system picks when it names none). Throws http::Error 37: "login_no_local_port" translated,
  // or "no random numbers available".
  explicit Login(Provider const& provider);
  Login(Login const&) = delete;
  Login& operator=(Login const&) = delete;

  int port() const { return port_; }
  // "http://" + the provider's redirect host + ":" + port.
  std::string redirect_uri() const;
  // The authorization address to open in the browser.
  std::string browser_url() const;
  // Waits at most `timeout` for the browser's redirect and answers it; true once a code or an
  // error has arrived (at once on later calls).
  bool finished(std::chrono::milliseconds timeout);
  // The refresh token for the code; throws http::Error (37 without a code or without a refresh
  // token in the answer, else the token endpoint's refusal, 23 by default).
  std::string refresh_token() const;
  // Why the redirect brought no code: the provider's "error", "state" for a request without the
  // login's state, "code" for one with neither; empty while none arrived.
  std::string const& error() const { return error_; }

  // Reads one request from the client, records its code or error, answers with a small page
  // and closes the client.
  void answer_browser(platform::FileDescriptor client);

 private:
  Provider const& provider_;
  platform::FileDescriptor listener_;
  int port_ = 0;
  std::string verifier_;
  std::string state_;
  std::string code_;
  std::string error_;
};

}  // namespace KVO_Core::oauth
