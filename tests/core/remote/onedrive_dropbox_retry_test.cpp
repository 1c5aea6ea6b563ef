// The remote operations on OneDrive and Dropbox accounts: a bearer token that the store refuses
// in the middle of a listing is fetched anew once and the listing starts over; refused again, the
// listing fails with the reason that asks for a new login.
#include <atomic>
#include <filesystem>

#include <gtest/gtest.h>

#include "../cloud/test_endpoints.h"
#include "core/config/Config.h"
#include "core/remote/RemoteOps.h"
#include "core/run/RunContext.h"
#include "support/fake_store.h"
#include "support/temp_dir.h"

namespace remote_test {
namespace {

using namespace KVO_Core;
using Utilities::FilesystemUtil::FileInfoResult;

class StoreTokenRetry : public ::testing::TestWithParam<char const*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.started()) << "the fake store did not start";
    ASSERT_TRUE(cloud_test::endpoints_at(server.address()));
    bool const onedrive = std::string(GetParam()) == "onedrive";
    SshAccount account;
    // A name of its own per store: cached tokens belong to another server's run.
    account.set_name(std::string("retry-") + GetParam());
    account.set_password("refresh-token");
    account.kind = onedrive ? SshAccount::OneDrive : SshAccount::Dropbox;
    account.url = server.address(onedrive ? "/v1.0" : "/2");
    Config::instance()->add(account, true);
    name_ = account.name();
    listing_ = onedrive ? "skiptoken" : "list_folder/continue";
  }
  void TearDown() override {
    auto const all = Config::instance()->ssh_accounts_snapshot();
    for (std::size_t i = 0; i < all.size(); ++i)
      if (all[i].name() == name_) Config::instance()->remove_ssh_account(i);
  }
  std::wstring path(std::string const& remote) const {
    return Utilities::util::string_to_wstring(name_ + ":" + remote);
  }
  std::size_t token_requests() const {
    std::size_t n = 0;
    for (std::string const& line : server.requests())
      if (line.find("/token\"") != std::string::npos) ++n;
    return n;
  }

  test_support::TempDir dir;
  test_support::FakeStore server{dir.path() / "server", GetParam()};
  std::string listing_;
  std::atomic<bool> running{false};
  RunContext::StopOverride go{running};

 private:
  std::string name_;
};

TEST_P(StoreTokenRetry, ARefusedTokenOnALaterPageIsFetchedAnewOnce) {
  for (int i = 0; i < 5; ++i)
    test_support::write_file(server.root() / "many" / std::to_string(i), "x");
  server.set_config(R"({"page_size": 2})");
  server.set_faults(R"([{"path": ")" + listing_ + R"(", "status": 401}])");
  ssh_take_failure_reason();
  std::vector<SshDirEntry> entries;
  ASSERT_TRUE(ssh_list_dir(path("/many"), entries));
  EXPECT_EQ(entries.size(), 5u);
  EXPECT_EQ(token_requests(), 2u);
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::no_failure);

  server.set_faults(R"([{"path": ")" + listing_ + R"(", "times": 10, "status": 401}])");
  entries.clear();
  EXPECT_FALSE(ssh_list_dir(path("/many"), entries));
  EXPECT_EQ(token_requests(), 3u) << "one fresh token, one more try";
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTokenRetry, ::testing::Values("onedrive", "dropbox"));

}  // namespace
}  // namespace remote_test
