// Access tokens from the fake token endpoint: what is sent, how refusals read, and a rotated
// refresh token landing in the configuration file.
#include <gtest/gtest.h>

#include "core/cloud/http/Request.h"
#include "core/cloud/oauth/AccessToken.h"
#include "fake_cloud_fixture.h"
#include "utilities/Translation.h"

namespace {

using namespace KVO_Core;
using cloud_test::account_entry;
using test_support::read_file;
using Utilities::translation::translate_utf8;

using AccessToken = cloud_test::FakeCloudFixture;

TEST_F(AccessToken, RefreshSendsTheEncodedTokenAndCachesTheAnswer) {
  configure(R"({"refresh": ["r/0+x&y"]})");
  auto account = drive("encoded", "r/0+x&y");
  auto const token = oauth::access_token(account);
  EXPECT_EQ(token.rfind("access-", 0), 0u);
  EXPECT_EQ(oauth::access_token(account), token);
  auto const sent = state().get_child("token_requests");
  ASSERT_EQ(sent.size(), 1u);
  auto const& form = sent.front().second;
  EXPECT_EQ(form.get<std::string>("grant_type"), "refresh_token");
  EXPECT_EQ(form.get<std::string>("refresh_token"), "r/0+x&y");
  EXPECT_TRUE(form.get_child_optional("client_id"));
  EXPECT_FALSE(form.get_child_optional("client_secret"));
  EXPECT_EQ(requests().front(), "POST /token");
}

TEST_F(AccessToken, RefusalsAndBadAnswersWriteNothing) {
  ASSERT_TRUE(read_accounts(account_entry("refused", "googleDrive", "refresh-1")));
  std::string const before = read_file(config_file());
  std::string const refused = translate_utf8("google_login_refused");
  struct Case {
    int status;
    std::string body;
    Utilities::FilesystemUtil::FileInfoResult reason;
    std::string text;  // empty: not checked
  };
  using namespace Utilities::FilesystemUtil;
  for (
      auto const& c : std::vector<Case>{
          {400,
           R"({"error": "invalid_grant", "error_description": "Token has been expired or revoked."})",
           access_token_expired, refused + "Token has been expired or revoked."},
          {400, R"({"error": "invalid_grant"})", access_token_expired, refused + "invalid_grant"},
          {401, R"({"error": "invalid_client"})", access_token_expired, refused + "invalid_client"},
          {201, R"({"access_token": "a"})", access_token_expired, refused},
          {503, R"({"error": "busy"})", server_unavailable, refused + "busy"},
          {204, "", unknown_error, "the token answer is not JSON"},
          {502, "<html>bad gateway</html>", server_unavailable, ""},
      }) {
    configure(R"({"token_reply": {"status": )" + std::to_string(c.status) + R"(, "body": )" +
              cloud_test::json_string(c.body) + "}}");
    auto account = *config().find_ssh_account_by_name("refused");
    account.url = cloud.base();
    try {
      oauth::access_token(account);
      ADD_FAILURE() << c.status << " gave a token";
    } catch (http::Error const& failure) {
      EXPECT_EQ(failure.reason, c.reason) << c.status;
      if (!c.text.empty()) {
        EXPECT_EQ(std::string(failure.what()), c.text) << c.status;
      }
    }
  }
  EXPECT_EQ(read_file(config_file()), before);
  EXPECT_EQ(password_of("refused"), "refresh-1");
}

TEST_F(AccessToken, RotatedTokenLandsInTheFileOnce) {
  ASSERT_TRUE(read_accounts(account_entry("keep", "dropbox", "other") + "," +
                            account_entry("rotating", "oneDrive", "refresh-1")));
  configure(R"({"rotate": true, "rotate_revokes": true, "expires_in": null})");
  auto account = *config().find_ssh_account_by_name("rotating");
  oauth::access_token(account);
  EXPECT_FALSE(config().file_changed_on_disk());
  std::string const written = read_file(config_file());
  ASSERT_TRUE(reread());
  auto const first = password_of("rotating");
  EXPECT_EQ(first.rfind("refresh-r", 0), 0u);
  EXPECT_EQ(password_of("keep"), "other");

  // Within the day the next rotations are used but not written. The provider revokes each
  // refresh token it rotated away, so every refresh below succeeds only with the newest one.
  account = *config().find_ssh_account_by_name("rotating");
  for (int i = 0; i < 3; ++i) EXPECT_NO_THROW(oauth::access_token(account));
  auto const sent = state().get_child("token_requests");
  EXPECT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent.back().second.get<std::string>("refresh_token").rfind("refresh-r", 0), 0u);
  EXPECT_NE(sent.back().second.get<std::string>("refresh_token"), first);
  EXPECT_EQ(read_file(config_file()), written);
}

}  // namespace
