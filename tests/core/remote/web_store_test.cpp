// The remote operations on a WebDAV account: routed to the web store, failures turned into
// reasons, nothing thrown.
#include <atomic>
#include <filesystem>

#include <gtest/gtest.h>

#include "core/config/Config.h"
#include "core/remote/RemoteOps.h"
#include "core/run/RunContext.h"
#include "core/run/SyncReport.h"
#include "support/hostile_http.h"
#include "support/sftp_server.h"
#include "support/temp_dir.h"
#include "support/webdav_server.h"
#include "utilities/Paths.h"

namespace remote_test {
namespace {

namespace fs = std::filesystem;
using namespace KVO_Core;
using test_support::read_file;
using test_support::write_file;
using Utilities::FilesystemUtil::FileInfoResult;

class WebStoreRemoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.started()) << "the loopback Apache did not start";
    add("web", server.url());
  }
  void TearDown() override {
    for (std::string const& name : added_) {
      auto const all = Config::instance()->ssh_accounts_snapshot();
      for (std::size_t i = 0; i < all.size(); ++i)
        if (all[i].name() == name) {
          Config::instance()->remove_ssh_account(i);
          break;
        }
    }
  }

  void add(std::string const& name, std::string const& url,
           std::string const& password = test_support::WebdavServer::password()) {
    SshAccount account;
    account.set_name(name);
    account.set_user(test_support::WebdavServer::user());
    account.set_password(password);
    account.url = url;
    Config::instance()->add(account, true);
    added_.push_back(name);
  }

  test_support::TempDir dir;
  test_support::WebdavServer server{dir / "server"};
  std::atomic<bool> running{false};
  RunContext::StopOverride go{running};

 private:
  std::vector<std::string> added_;
};

TEST_F(WebStoreRemoteTest, FilesAndFoldersRoundTrip) {
  ssh_take_failure_reason();
  ASSERT_TRUE(ssh_mkdir_p(L"web:/a b/c#d"));
  EXPECT_TRUE(ssh_is_directory(L"web:/a b/c#d"));
  EXPECT_TRUE(ssh_mkdir_p(L"web:/a b/c#d"));

  write_file(dir / "local.txt", "content é");
  ASSERT_EQ(copy_fs_to_ssh(Utilities::from_path(dir / "local.txt"), L"web:/a b/c#d/f é.txt"),
            CopyResult::Done);
  EXPECT_EQ(read_file(server.root() / "a b" / "c#d" / "f é.txt"), "content é");
  EXPECT_TRUE(ssh_exists(L"web:/a b/c#d/f é.txt"));
  EXPECT_FALSE(ssh_is_directory(L"web:/a b/c#d/f é.txt"));
  EXPECT_EQ(ssh_directory_presence(L"web:/nothing"), Presence::Absent);

  std::vector<SshDirEntry> const entries = ssh_list_dir(L"web:/a b/c#d");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, L"f é.txt");
  EXPECT_TRUE(entries[0].is_file);
  EXPECT_FALSE(entries[0].is_dir || entries[0].is_link);
  EXPECT_EQ(entries[0].size, 10u);

  fs::path const back = dir / "back";
  ASSERT_EQ(copy_ssh_to_fs(L"web:/a b/c#d/f é.txt", Utilities::from_path(back)), CopyResult::Done);
  EXPECT_EQ(read_file(back), "content é");

  // Server to server through a transfer file that does not stay behind.
  test_support::TempDir tmp;
  test_support::ScopedEnv const tmpdir("TMPDIR", tmp.path().c_str());
  ASSERT_EQ(copy_ssh_to_ssh(L"web:/a b/c#d/f é.txt", L"web:/copy"), CopyResult::Done);
  EXPECT_EQ(read_file(server.root() / "copy"), "content é");
  EXPECT_TRUE(fs::is_empty(tmp.path()));

  EXPECT_TRUE(ssh_rename(L"web:/copy", L"web:/renamed"));
  EXPECT_FALSE(ssh_rename(L"web:/renamed", L"web:/a b/c#d/f é.txt"));  // never replaces
  EXPECT_EQ(read_file(server.root() / "renamed"), "content é");
  EXPECT_EQ(ssh_remove_refusal(L"web:/renamed"), FileInfoResult::no_failure);
  EXPECT_EQ(ssh_remove_refusal(L"web:/renamed"), FileInfoResult::file_not_exist);
  // A folder is removed only once it is empty, as on an SFTP server.
  EXPECT_EQ(ssh_rmdir_refusal(L"web:/a b"), FileInfoResult::file_conflict);
  EXPECT_TRUE(fs::exists(server.root() / "a b" / "c#d" / "f é.txt"));
  EXPECT_EQ(ssh_remove_refusal(L"web:/a b/c#d/f é.txt"), FileInfoResult::no_failure);
  EXPECT_EQ(ssh_rmdir_refusal(L"web:/a b/c#d"), FileInfoResult::no_failure);
  EXPECT_EQ(ssh_rmdir_refusal(L"web:/a b"), FileInfoResult::no_failure);
  EXPECT_FALSE(fs::exists(server.root() / "a b"));
}

TEST_F(WebStoreRemoteTest, LinksAndRoomAreNotAskedOfAWebStore) {
  EXPECT_FALSE(ssh_keeps_links(L"web:/x"));
  EXPECT_TRUE(ssh_keeps_links(L"no such account:/x"));
  EXPECT_EQ(ssh_create_link(L"target", L"web:/x"), FileInfoResult::links_not_supported);
  EXPECT_FALSE(ssh_link_info(L"web:/x"));
  EXPECT_FALSE(ssh_real_path(L"web:/x"));
  EXPECT_FALSE(ssh_room_for(L"web:/x", false).second);
  EXPECT_FALSE(ssh_read_only_filesystem(L"web:/x"));
}

TEST_F(WebStoreRemoteTest, FailuresBecomeReasonsAndReportLines) {
  add("wrong", server.url(), "not the password");
  ssh_take_failure_reason();
  EXPECT_FALSE(ssh_exists(L"wrong:/x"));
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::authentication_failed);
  EXPECT_EQ(ssh_remove_refusal(L"wrong:/x"), FileInfoResult::authentication_failed);

  // A failed listing is one report line with its reason, never an empty folder.
  SyncReport report;
  {
    SyncReportGuard const current(&report);
    std::vector<SshDirEntry> entries;
    EXPECT_FALSE(ssh_list_dir(L"web:/missing", entries));
  }
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::file_not_exist);
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_NE(report.errors[0].find(L"web:/missing ("), std::wstring::npos) << report.errors[0];

  // An unclassified failure leaves the older reason in place.
  test_support::HostileHttp const hostile(dir / "hostile", "deep");
  ASSERT_TRUE(hostile.started());
  add("deep", "http://127.0.0.1:" + std::to_string(hostile.port()) + "/dav/");
  ssh_set_failure_reason(FileInfoResult::connection_lost);
  EXPECT_FALSE(ssh_exists(L"deep:/x"));
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::connection_lost);

  // A server out of reach: the folder chain is not tried further.
  add("gone", "http://127.0.0.1:" + std::to_string(test_support::closed_port()) + "/dav/");
  EXPECT_FALSE(ssh_mkdir_p(L"gone:/a/b/c"));
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::server_connect_failed);
  EXPECT_EQ(copy_ssh_to_fs(L"gone:/a", Utilities::from_path(dir / "never")), CopyResult::Failed);
  EXPECT_FALSE(fs::exists(dir / "never"));
}

TEST_F(WebStoreRemoteTest, NamesThatAreNotUtf8AreLeftOutWithAHint) {
  write_file(server.root() / "box" / "good", "1");
  write_file(server.root() / "box" / "bad\xff", "2");
  server.adopt();
  SyncReport report;
  std::vector<SshDirEntry> entries;
  {
    SyncReportGuard const current(&report);
    ASSERT_TRUE(ssh_list_dir(L"web:/box", entries));
  }
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, L"good");
  EXPECT_EQ(report.hints.count("undecodable_name_skipped"), 1u);
}

}  // namespace
}  // namespace remote_test
