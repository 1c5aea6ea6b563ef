// The interactive login: the browser address, the redirect listener and the code exchange,
// with a browser played by plain sockets and the fake token endpoint.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include "core/cloud/http/Request.h"
#include "core/cloud/oauth/Login.h"
#include "fake_cloud_fixture.h"
#include "platform/FileDescriptor.h"
#include "utilities/Translation.h"

namespace {

using namespace KVO_Core;
using namespace std::chrono_literals;
using platform::FileDescriptor;
using Utilities::translation::translate_utf8;

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

FileDescriptor connect_to(int port) {
  FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  auto address = loopback(port);
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// A listener of the test's own on 127.0.0.1:port; empty when the port is taken already.
FileDescriptor occupy(int port) {
  FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  auto address = loopback(port);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 1) != 0) {
    return {};
  }
  return fd;
}

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) text.append(buffer, got);
  return text;
}

std::string value_in(std::string const& url, std::string const& key) {
  std::smatch match;
  std::regex const pattern("[?&]" + key + "=([^&]*)");
  return std::regex_search(url, match, pattern) ? match[1].str() : "";
}

// What the browser gets back for one request line sent to the login.
std::string redirect(oauth::Login& login, std::string const& request_line) {
  auto browser = connect_to(login.port());
  std::string const request = request_line + "\r\nHost: 127.0.0.1\r\n\r\n";
  EXPECT_EQ(::send(browser.get(), request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  EXPECT_TRUE(login.finished(5s));
  return read_all(browser.get());
}

using Login = cloud_test::FakeCloudFixture;

TEST_F(Login, GoogleCodeWithVerifierGivesTheRefreshToken) {
  oauth::Login login(oauth::google());
  ASSERT_GT(login.port(), 0);
  EXPECT_EQ(login.redirect_uri(), "http://127.0.0.1:" + std::to_string(login.port()));
  auto const url = login.browser_url();
  EXPECT_EQ(
      url.rfind(cloud.base() + "/o/oauth2/v2/auth?response_type=code&code_challenge_method=S256"
                               "&access_type=offline&prompt=consent&client_id=",
                0),
      0u)
      << url;
  EXPECT_EQ(value_in(url, "redirect_uri"),
            "http%3A%2F%2F127.0.0.1%3A" + std::to_string(login.port()));
  EXPECT_EQ(value_in(url, "scope"), "https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fdrive.file");
  auto const login_state = value_in(url, "state");
  auto const challenge = value_in(url, "code_challenge");
  EXPECT_EQ(login_state.size(), 43u);
  EXPECT_EQ(challenge.size(), 43u);
  EXPECT_FALSE(login.finished(10ms));

  // The fake endpoint gives a refresh token only for the verifier whose S256 digest is the
  // challenge the browser address carried.
  cloud.control("code", R"({"code": "4/0Ab", "challenge": ")" + challenge + R"("})");
  auto const page =
      redirect(login, "GET /?state=" + login_state + "&code=4%2F0Ab&scope=x HTTP/1.1");
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(page.find("<h2>Pellimoravin</h2><p>" + translate_utf8("google_login_page_done")),
            std::string::npos);
  EXPECT_TRUE(login.finished(0ms));
  EXPECT_EQ(login.refresh_token().rfind("refresh-login", 0), 0u);

  auto const sent = state().get_child("token_requests").back().second;
  EXPECT_EQ(sent.get<std::string>("grant_type"), "authorization_code");
  EXPECT_EQ(sent.get<std::string>("code"), "4/0Ab");
  EXPECT_EQ(sent.get<std::string>("code_verifier").size(), 86u);
  EXPECT_EQ(sent.get<std::string>("redirect_uri"), login.redirect_uri());
  EXPECT_FALSE(sent.get_child_optional("client_secret"));

  // A code the endpoint does not know (used once already) is refused with reason 23.
  try {
    login.refresh_token();
    ADD_FAILURE() << "a used code was accepted";
  } catch (http::Error const& refused) {
    EXPECT_EQ(refused.reason, Utilities::FilesystemUtil::authentication_failed);
    EXPECT_EQ(std::string(refused.what()).rfind(translate_utf8("google_login_refused"), 0), 0u);
  }
}

TEST_F(Login, RedirectsWithoutAUsableCode) {
  struct Case {
    std::string request_line;  // "STATE" stands for the login's state
    std::string error;
  };
  for (auto const& c : std::vector<Case>{
           {"GET /?state=STATE&error=access_denied HTTP/1.1", "access_denied"},
           {"GET /?state=wrong&code=abc HTTP/1.1", "state"},
           {"GET /?code=abc HTTP/1.1", "state"},
           {"GET /favicon.ico HTTP/1.1", "state"},
           {"GET /?state=STATE HTTP/1.1", "code"},
       }) {
    oauth::Login login(oauth::google());
    auto line = c.request_line;
    if (auto at = line.find("STATE"); at != std::string::npos) {
      line.replace(at, 5, value_in(login.browser_url(), "state"));
    }
    auto const page = redirect(login, line);
    EXPECT_EQ(login.error(), c.error) << line;
    EXPECT_NE(page.find(translate_utf8("google_login_page_failed")), std::string::npos) << line;
    try {
      login.refresh_token();
      ADD_FAILURE() << line;
    } catch (http::Error const& refused) {
      EXPECT_EQ(refused.reason, Utilities::FilesystemUtil::unknown_error);
      EXPECT_EQ(std::string(refused.what()), translate_utf8("google_login_refused") + c.error);
    }
  }
  EXPECT_TRUE(state().get_child("token_requests").empty());
}

TEST_F(Login, AnswerWithoutRefreshToken) {
  oauth::Login login(oauth::microsoft());
  auto const url = login.browser_url();
  EXPECT_EQ(value_in(url, "scope"), "Files.ReadWrite%20offline_access");
  EXPECT_EQ(login.redirect_uri(), "http://localhost:" + std::to_string(login.port()));
  redirect(login, "GET /?code=c1&state=" + value_in(url, "state") + " HTTP/1.1");
  configure(R"({"token_reply": {"status": 200, "body": "{\"access_token\": \"a\"}"}})");
  try {
    login.refresh_token();
    ADD_FAILURE() << "an answer without a refresh token was taken";
  } catch (http::Error const& refused) {
    EXPECT_EQ(refused.reason, Utilities::FilesystemUtil::unknown_error);
    EXPECT_EQ(std::string(refused.what()),
              translate_utf8("google_login_refused") + "refresh_token");
  }
}

TEST_F(Login, DropboxPortsInTurn) {
  // Taken by this test or, now and then, by another socket of the machine: taken either way.
  auto first = occupy(53682);
  {
    oauth::Login login(oauth::dropbox());
    EXPECT_EQ(login.port(), 53683);
    EXPECT_EQ(login.redirect_uri(), "http://localhost:53683");
    auto const url = login.browser_url();
    EXPECT_NE(url.find("&token_access_type=offline&client_id="), std::string::npos);
    EXPECT_EQ(url.find("&scope="), std::string::npos);
  }
  auto second = occupy(53683);
  auto third = occupy(53684);
  ASSERT_TRUE(second && third);
  try {
    oauth::Login login(oauth::dropbox());
    ADD_FAILURE() << "a login listened on port " << login.port();
  } catch (http::Error const& failure) {
    EXPECT_EQ(failure.reason, Utilities::FilesystemUtil::unknown_error);
    EXPECT_EQ(std::string(failure.what()), translate_utf8("login_no_local_port"));
  }
}

TEST_F(Login, SilentOrVanishingBrowserDoesNotHang) {
  // A browser that connects and sends nothing: the receive gives up, the login goes on.
  {
    oauth::Login login(oauth::google());
    auto silent = connect_to(login.port());
    auto const started = std::chrono::steady_clock::now();
    EXPECT_TRUE(login.finished(1s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_EQ(login.error(), "state");
  }
  // A browser that sends its request and resets the connection at once: the answer's send
  // must not raise SIGPIPE, which would end this process.
  {
    oauth::Login login(oauth::google());
    auto gone = connect_to(login.port());
    std::string const request = "GET /?state=x&code=y HTTP/1.1\r\n\r\n";
    ::send(gone.get(), request.data(), request.size(), MSG_NOSIGNAL);
    linger abort_close{1, 0};
    ::setsockopt(gone.get(), SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
    gone.close();
    EXPECT_TRUE(login.finished(1s));
    EXPECT_EQ(login.error(), "state");
  }
}

}  // namespace
