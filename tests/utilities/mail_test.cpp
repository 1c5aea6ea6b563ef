#include "utilities/Mail.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <sstream>

#include "catalogue_fixture.h"
#include "smtp_fixture.h"
#include "support/temp_dir.h"
#include "utilities/Codecs.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace {

using Utilities::LogLevel;
using Utilities::SmtpAccount;
namespace tr = Utilities::translation;
using namespace std::chrono_literals;

SmtpAccount account(std::wstring server, std::uint16_t port, std::wstring user = L"mailuser",
                    std::wstring password = L"mailpass") {
  SmtpAccount a;
  a.server = std::move(server);
  a.port = port;
  a.user = std::move(user);
  a.password = std::move(password);
  a.from = L"daemon@example.org";
  return a;
}

std::vector<std::string> crlf_lines(std::string const& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return out;
}

std::string decoded(std::string const& base64) {
  auto bytes = Utilities::base64::decoded(base64);
  return std::string(bytes.begin(), bytes.end());
}

// A loopback port nothing listens on.
std::uint16_t closed_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

class MailTest : public ::testing::Test {
 protected:
  void SetUp() override { test_support::use_build_catalogues("en"); }
  test_support::TempDir dir;
};

TEST_F(MailTest, FatalErrorIsMailedOnceWithHeadersAndBase64Body) {
  test_support::SmtpServer server(dir / "smtp", "starttls");
  ASSERT_TRUE(server.started());
  test_support::ScopedEnv trust("SSL_CERT_FILE", server.ca().c_str());

  Utilities::Logging logger;
  auto now = Utilities::Logging::Clock::time_point() + 10000s;
  logger.set_clock([&] { return now; });
  logger.set_log_file_path_name(Utilities::from_path(dir / "fatal.log"));
  logger.email().notify_address(L"admin@example.org");
  logger.email().smtp_account(account(L"localhost", server.port()));

  std::string text = "the disk is on fire ü " + std::string(100, 'x');
  logger.log(LogLevel::FatalError, text);  // mail inactive: nothing, throttle untouched
  logger.email().notify_active(true);
  logger.log(LogLevel::FatalError, text);
  logger.log(LogLevel::FatalError, text);  // same text within 1800 s
  logger.log(LogLevel::FatalError, std::string("another"));
  logger.log(LogLevel::FatalError, text);  // a different text came in between
  now += 1799s;
  logger.log(LogLevel::FatalError, text);
  auto mails = server.mails();
  ASSERT_EQ(mails.size(), 3u);

  auto const& mail = mails[0];
  EXPECT_EQ(mail.flags.at("tls"), "True");
  EXPECT_EQ(mail.flags.at("auth"), "True");
  EXPECT_EQ(mail.flags.at("from"), "daemon@example.org");
  EXPECT_EQ(mail.flags.at("to"), "admin@example.org");
  auto split = mail.raw.find("\r\n\r\n");
  ASSERT_NE(split, std::string::npos);
  auto headers = crlf_lines(mail.raw.substr(0, split));
  ASSERT_EQ(headers.size(), 7u) << mail.raw;
  EXPECT_EQ(headers[0], "From: <daemon@example.org>");
  EXPECT_EQ(headers[1], "To: <admin@example.org>");
  EXPECT_EQ(headers[2],
            "Subject: =?UTF-8?B?" +
                Utilities::base64::encoded(tr::translate_utf8("fatal_error_mail_subject")) + "?=");
  EXPECT_TRUE(std::regex_match(
      headers[3], std::regex("Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), \\d\\d "
                             "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} "
                             "\\d\\d:\\d\\d:\\d\\d \\+0000")))
      << headers[3];
  EXPECT_EQ(headers[4], "MIME-Version: 1.0");
  EXPECT_EQ(headers[5], "Content-Type: text/plain; charset=UTF-8");
  EXPECT_EQ(headers[6], "Content-Transfer-Encoding: base64");

  auto body = crlf_lines(mail.raw.substr(split + 4));
  while (!body.empty() && body.back().empty()) body.pop_back();
  ASSERT_GE(body.size(), 3u);
  std::string joined;
  for (size_t i = 0; i < body.size(); ++i) {
    if (i + 1 < body.size()) {
      EXPECT_EQ(body[i].size(), 76u) << i;
    }
    EXPECT_LE(body[i].size(), 76u);
    joined += decoded(body[i]);
  }
  // The body is the whole log line, head and line feed included.
  EXPECT_TRUE(std::regex_match(
      joined, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} G FatalError\t" +
                         text + "\n")))
      << joined;
}

TEST_F(MailTest, ImplicitTlsOnPort465) {
  if (geteuid() != 0) GTEST_SKIP() << "port 465 needs root";
  // Port 465 is fixed: a loopback address of its own keeps parallel runs apart.
  std::mt19937 pick(std::random_device{}());
  std::unique_ptr<test_support::SmtpServer> server;
  std::string host;
  for (int attempt = 0; attempt < 5 && !(server && server->started()); ++attempt) {
    host = "127." + std::to_string(pick() % 250 + 1) + "." + std::to_string(pick() % 250 + 1) +
           "." + std::to_string(pick() % 250 + 2);
    server = std::make_unique<test_support::SmtpServer>(dir / "smtp", "implicit", host, 465);
  }
  ASSERT_TRUE(server->started());
  test_support::ScopedEnv trust("SSL_CERT_FILE", server->ca().c_str());

  auto result = Utilities::send_mail(account(Utilities::util::string_to_wstring(host), 465),
                                     L"a@example.org", L"Betreff äöü", "body\n");
  EXPECT_EQ(result.error, "");
  EXPECT_FALSE(result.sent_unencrypted);
  auto mails = server->mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].flags.at("tls"), "True");
  EXPECT_NE(mails[0].raw.find("Subject: =?UTF-8?B?" +
                              Utilities::base64::encoded(std::string("Betreff äöü")) + "?="),
            std::string::npos);
}

TEST_F(MailTest, CertificateForAnotherHostIsRefused) {
  test_support::SmtpServer server(dir / "smtp", "starttls", "127.0.0.1", 0, "other");
  ASSERT_TRUE(server.started());
  test_support::ScopedEnv trust("SSL_CERT_FILE", server.ca().c_str());
  auto result =
      Utilities::send_mail(account(L"localhost", server.port()), L"a@example.org", L"s", "body");
  EXPECT_EQ(result.error, tr::translate_utf8("smtp_tls_handshake_failed", {"localhost"}));
  EXPECT_TRUE(server.mails().empty());
}

TEST_F(MailTest, ServerWithoutStartTls) {
  test_support::SmtpServer server(dir / "smtp", "nostarttls");
  ASSERT_TRUE(server.started());

  // With a password the login must not go out in clear text.
  auto refused =
      Utilities::send_mail(account(L"localhost", server.port()), L"a@example.org", L"s", "body");
  EXPECT_EQ(refused.error, tr::translate_utf8("smtp_no_starttls", {"localhost"}) +
                               "502 5.5.1 STARTTLS not implemented here");
  EXPECT_FALSE(refused.sent_unencrypted);
  EXPECT_TRUE(server.mails().empty());

  // Without one the mail goes out unencrypted, no AUTH is sent, and the logger warns.
  Utilities::Logging logger;
  logger.set_log_file_path_name(Utilities::from_path(dir / "plain.log"));
  logger.email().notify_active(true);
  logger.email().notify_address(L"admin@example.org");
  logger.email().smtp_account(account(L"localhost", server.port(), L"", L""));
  logger.log(LogLevel::FatalError, std::string("plain fatal"));
  auto mails = server.mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].flags.at("tls"), "False");
  EXPECT_NE(mails[0].flags.at("auth"), "True");
  EXPECT_NE(test_support::read_file(dir / "plain.log")
                .find("Warning\t" + tr::translate_utf8("smtp_unencrypted", {"localhost"}) + "\n"),
            std::string::npos);
}

// A greeting over several lines and replies of exactly three digits are read whole.
TEST_F(MailTest, TerseRepliesAreUnderstood) {
  test_support::SmtpServer terse(dir / "smtp", "terse");
  ASSERT_TRUE(terse.started());
  auto result = Utilities::send_mail(account(L"localhost", terse.port(), L"", L""),
                                     L"a@example.org", L"s", std::string(57, 'b'));
  EXPECT_EQ(result.error, "");
  EXPECT_TRUE(result.sent_unencrypted);
}

TEST_F(MailTest, FailuresComeBackAsTexts) {
  test_support::SmtpServer good(dir / "smtp", "starttls");
  test_support::SmtpServer endless(dir / "smtp", "endless");
  test_support::SmtpServer inject(dir / "smtp", "inject");
  ASSERT_TRUE(good.started() && endless.started() && inject.started());
  test_support::ScopedEnv trust("SSL_CERT_FILE", good.ca().c_str());
  std::uint16_t closed = closed_port();
  std::string no_connection = tr::translate_utf8("smtp_no_connection_to");
  std::string line_break = tr::translate_utf8("smtp_line_break_refused");

  struct Case {
    std::string name;
    SmtpAccount account;
    std::wstring to;
    std::wstring subject;
    std::string error;
  } cases[] = {
      {"no server", account(L"", 25), L"a@x", L"s", tr::translate_utf8("smtp_not_configured")},
      {"no sender",
       [] {
         auto a = account(L"localhost", 25);
         a.from.clear();
         return a;
       }(),
       L"a@x", L"s", tr::translate_utf8("smtp_not_configured")},
      {"no recipient", account(L"localhost", 25), L"", L"s",
       tr::translate_utf8("smtp_no_recipient")},
      {"LF in recipient", account(L"localhost", 25), L"a@x>\nRCPT TO:<b@x", L"s", line_break},
      {"CR in subject", account(L"localhost", 25), L"a@x", L"s\rBcc: b@x", line_break},
      {"CR LF in sender",
       [] {
         auto a = account(L"localhost", 25);
         a.from = L"d@x\r\n";
         return a;
       }(),
       L"a@x", L"s", line_break},
      {"nothing listens", account(L"localhost", closed), L"a@x", L"s",
       no_connection + "localhost:" + std::to_string(closed)},
      {"IPv6 literal", account(L"::1", closed), L"a@x", L"s",
       no_connection + "[::1]:" + std::to_string(closed)},
      {"wrong password", account(L"localhost", good.port(), L"mailuser", L"wrong"), L"a@x", L"s",
       tr::translate_utf8("smtp_login_rejected", {"localhost"})},
      {"reply without end", account(L"localhost", endless.port()), L"a@x", L"s",
       tr::translate_utf8("smtp_unexpected_answer", {"localhost"}) + "250-line 99"},
      {"plain text after STARTTLS", account(L"localhost", inject.port()), L"a@x", L"s",
       tr::translate_utf8("smtp_tls_handshake_failed", {"localhost"})},
  };
  for (auto const& c : cases) {
    auto result = Utilities::send_mail(c.account, c.to, c.subject, "body");
    EXPECT_EQ(result.error, c.error) << c.name;
    EXPECT_FALSE(result.sent_unencrypted) << c.name;
  }
  EXPECT_TRUE(good.mails().empty());
}

}  // namespace
