// A Google Drive account behind the remote operations: a refused access token is dropped and
// the call tried once more with a fresh one; refused again, the call fails as expired.
#include <atomic>
#include <sstream>

#include <gtest/gtest.h>
#include <boost/property_tree/json_parser.hpp>

#include "../cloud/test_endpoints.h"
#include "core/config/Config.h"
#include "core/remote/RemoteOps.h"
#include "core/run/RunContext.h"
#include "support/fake_cloud.h"
#include "support/temp_dir.h"

namespace remote_test {
namespace {

using namespace KVO_Core;
using Utilities::FilesystemUtil::FileInfoResult;

class DriveTokenRetry : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cloud.started()) << "the fake cloud server did not start";
    ASSERT_TRUE(cloud_test::endpoints_at(cloud.base()));
    SshAccount account;
    account.set_name("drive-retry");
    account.set_password("refresh-1");
    account.kind = SshAccount::GoogleDrive;
    account.url = cloud.base();
    Config::instance()->add(account, true);
  }
  void TearDown() override { Config::unload(); }

  // Token requests and Drive requests so far.
  std::pair<std::size_t, std::size_t> counts() const {
    boost::property_tree::ptree state;
    std::istringstream text(cloud.control("state"));
    boost::property_tree::read_json(text, state);
    auto const tokens = state.get_child("token_requests").size();
    return {tokens, state.get_child("requests").size() - tokens};
  }

  test_support::TempDir dir;
  test_support::FakeCloud cloud{dir.path()};
  std::atomic<bool> running{false};
  RunContext::StopOverride go{running};
};

TEST_F(DriveTokenRetry, OneRefreshAndOneRetryThenExpired) {
  ssh_take_failure_reason();
  ASSERT_TRUE(ssh_mkdir_p(L"drive-retry:/dir"));
  ASSERT_EQ(counts().first, 1u);

  // The server no longer takes the cached token: one refresh, one retry, success.
  cloud.control("config", R"({"revoke_access": true})");
  auto before = counts();
  EXPECT_TRUE(ssh_exists(L"drive-retry:/dir"));
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::no_failure);
  EXPECT_EQ(counts().first, before.first + 1);
  EXPECT_EQ(counts().second, before.second + 2);

  // It takes no token at all: the retry's fresh token is refused too.
  cloud.control("config", R"({"refuse_access": true})");
  before = counts();
  EXPECT_FALSE(ssh_exists(L"drive-retry:/dir"));
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::access_token_expired);
  EXPECT_EQ(counts().first, before.first + 1);
  EXPECT_EQ(counts().second, before.second + 2);
}

}  // namespace
}  // namespace remote_test
