#include "core/cloud/oauth/Login.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "core/cloud/http/Request.h"
#include "core/cloud/oauth/TokenAnswer.h"
#include "utilities/Codecs.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core::oauth {

namespace {

using Utilities::FilesystemUtil::unknown_error;

// A browser that connects and then sends nothing must not hold the login forever.
constexpr int RECEIVE_SECONDS = 5;
constexpr std::size_t REQUEST_LIMIT = 4095;

constexpr char const* BROWSER_PAGE =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "Connection: close\r\n"
    "\r\n"
    "<html><body style=\"font-family:sans-serif;margin:3em\"><h2>Pellimoravin</h2><p>%s</p>"
    "</body></html>";

std::string random_text() {
  std::array<std::uint8_t, 32> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw http::Error(unknown_error, "no random numbers available");
  }
  return Utilities::base64::url_encoded(bytes);
}

std::string code_challenge(std::string const& verifier) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  if (EVP_Digest(verifier.data(), verifier.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
      1) {
    throw http::Error(unknown_error, "SHA-256 is not available");
  }
  return Utilities::base64::url_encoded(digest);
}

// The percent-decoded value of the first pair named `key`; empty when there is none.
std::string parameter(std::string_view query, std::string_view key) {
  while (!query.empty()) {
    auto end = query.find('&');
    auto piece = query.substr(0, end);
    if (piece.size() > key.size() && piece.starts_with(key) && piece[key.size()] == '=') {
      return Utilities::percent::decoded(piece.substr(key.size() + 1));
    }
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  return {};
}

platform::FileDescriptor listen_on(int port, int& bound) {
  platform::FileDescriptor socket_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket_fd) return {};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(socket_fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(socket_fd.get(), 1) != 0) {
    return {};
  }
  socklen_t length = sizeof address;
  if (::getsockname(socket_fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return {};
  }
  bound = ntohs(address.sin_port);
  return socket_fd;
}

// Reads until the request line is complete, the limit is reached, the peer stops sending or
// the receive times out: the query lies in the request line.
std::string read_request(int client) {
  timeval limit{RECEIVE_SECONDS, 0};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  std::string request;
  std::array<char, REQUEST_LIMIT> buffer{};
  while (request.size() < REQUEST_LIMIT && request.find('\n') == std::string::npos) {
    auto got = ::recv(client, buffer.data(), REQUEST_LIMIT - request.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    request.append(buffer.data(), static_cast<std::size_t>(got));
  }
  return request;
}

}  // namespace

Login::Login(Provider const& provider) : provider_(provider) {
  verifier_ = random_text() + random_text();
  state_ = random_text();
  std::vector<int> ports = provider.ports.empty() ? std::vector<int>{0} : provider.ports;
  for (int port : ports) {
    listener_ = listen_on(port, port_);
    if (listener_) return;
  }
  throw http::Error(unknown_error, Utilities::translation::translate_utf8("login_no_local_port"));
}

std::string Login::redirect_uri() const {
  return std::string("http://") + provider_.redirect_host + ":" + std::to_string(port_);
}

std::string Login::browser_url() const {
  auto const& settings = provider_.settings();
  std::string url = settings.authorize_url + "?response_type=code&code_challenge_method=S256" +
                    provider_.authorize_extra +
                    "&client_id=" + Utilities::percent::encoded(settings.client_id) +
                    "&redirect_uri=" + Utilities::percent::encoded(redirect_uri());
  if (*provider_.scope)
    url += std::string("&scope=") + Utilities::percent::encoded(provider_.scope);
  return url + "&state=" + state_ + "&code_challenge=" + code_challenge(verifier_);
}

bool Login::finished(std::chrono::milliseconds timeout) {
  if (!code_.empty() || !error_.empty()) return true;
  pollfd waiting{listener_.get(), POLLIN, 0};
  auto const wait_ms = static_cast<int>(std::clamp<std::int64_t>(timeout.count(), 0, INT32_MAX));
  if (::poll(&waiting, 1, wait_ms) <= 0 || !(waiting.revents & POLLIN)) return false;
  platform::FileDescriptor client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (client) answer_browser(std::move(client));
  return !code_.empty() || !error_.empty();
}

void Login::answer_browser(platform::FileDescriptor client) {
  std::string const request = read_request(client.get());
  std::string_view query;
  if (auto mark = request.find('?'); mark != std::string::npos) {
    if (auto blank = request.find(' ', mark); blank != std::string::npos) {
      query = std::string_view(request).substr(mark + 1, blank - mark - 1);
    }
  }
  if (parameter(query, "state") == state_) {
    code_ = parameter(query, "code");
    if (code_.empty()) {
      error_ = parameter(query, "error");
      if (error_.empty()) error_ = "code";
    }
  } else {
    error_ = "state";
  }

  std::string const text = Utilities::translation::translate_utf8(
      code_.empty() ? "google_login_page_failed" : "google_login_page_done");
  std::string page(BROWSER_PAGE);
  page.replace(page.find("%s"), 2, text);
  std::string_view rest = page;
  while (!rest.empty()) {
    auto sent = ::send(client.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(sent));
  }
}

std::string Login::refresh_token() const {
  using Utilities::translation::translate_utf8;
  if (code_.empty())
    throw http::Error(unknown_error, translate_utf8("google_login_refused") + error_);
  std::string const form =
      "grant_type=authorization_code&code=" + Utilities::percent::encoded(code_) +
      "&code_verifier=" + verifier_ +
      "&redirect_uri=" + Utilities::percent::encoded(redirect_uri());
  auto answer =
      token_answer(provider_.settings(), form, Utilities::FilesystemUtil::authentication_failed);
  auto token = answer.get<std::string>("refresh_token", "");
  if (token.empty()) {
    throw http::Error(unknown_error, translate_utf8("google_login_refused") + "refresh_token");
  }
  return token;
}

}  // namespace KVO_Core::oauth
