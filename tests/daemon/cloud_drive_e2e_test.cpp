// The real service keeping a local folder and a folder on a loopback OneDrive or Dropbox in step
// both ways, and a store that answers "too many requests" ending the run with nothing deleted.
#include "service_fixture.h"
#include "support/fake_store.h"

namespace {

using namespace service_test;

// The account and the two-way tree item between `local` and the store's folder "/sync".
std::string drive_config(std::string const& store, std::string const& url, fs::path const& local) {
  Item item = tree_item("drive-item", local, "drive:/sync", true, R"(, "syncDeletions": "true")");
  std::string text = config_json({item});
  std::string const kind = store == "onedrive" ? "oneDrive" : "dropbox";
  std::string const account = R"({"name": "drive", "host": "", "user": "", "port": "443", )"
                              R"("hostKey": "", "password": "refresh-token", "url": ")" +
                              url + R"(", ")" + kind + R"(": "true"})";
  text.insert(text.find("\n  \"Syncitems\""), "\n  \"SshAccounts\": [" + account + "],");
  std::string const target = "\"target\": \"drive:";
  text.insert(text.find(target), "\"targetType\": \"ssh\", ");
  return text;
}

class DriveSync : public Service, public ::testing::WithParamInterface<char const*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.started()) << "the fake store did not start";
#ifndef PELLI_TEST_ENDPOINTS
    FAIL() << "the service keeps its compiled-in token endpoints: configure the tests with "
              "-DPELLI_TEST_ENDPOINTS=ON";
#endif
  }
  std::string url() const {
    return server.address(std::string(GetParam()) == "onedrive" ? "/v1.0" : "/2");
  }
  fs::path remote() const { return server.root() / "sync"; }

  test_support::TempDir server_dir;
  test_support::FakeStore server{server_dir.path() / "server", GetParam()};
  // The service moves the providers' token and content endpoints to the fake store.
  test_support::ScopedEnv endpoints{"PELLI_TEST_OAUTH_BASE", server.address().c_str()};
};

TEST_P(DriveSync, BothSidesFollowEachOther) {
  fs::path const local = files / "local";
  test_support::write_file(local / "a.txt", "alpha");
  test_support::write_file(local / "sub \xC3\xA9/b #1.txt", "beta");
  test_support::write_file(remote() / "c%.txt", "gamma");
  write_config(drive_config(GetParam(), url(), local));
  start();
  ASSERT_TRUE(eventually([&] { return tree_of(local) == tree_of(remote()); }, 30s))
      << log() << "\nremote: " << tree_of(remote()).size();
  EXPECT_EQ(test_support::read_file(local / "c%.txt"), "gamma");

  // A change on the store comes back; a local deletion goes over.
  test_support::write_file(remote() / "d.txt", "delta");
  fs::remove(local / "a.txt");
  EXPECT_TRUE(eventually(
      [&] { return fs::exists(local / "d.txt") && !fs::exists(remote() / "a.txt"); }, 30s))
      << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_P(DriveSync, ABusyStoreEndsTheRunAndNothingIsDeleted) {
  fs::path const local = files / "local";
  test_support::write_file(local / "a.txt", "alpha");
  test_support::write_file(local / "sub/b.txt", "beta");
  fs::create_directories(remote());
  write_config(drive_config(GetParam(), url(), local));
  start();
  ASSERT_TRUE(eventually([&] { return tree_of(local) == tree_of(remote()); }, 30s)) << log();
  // Every listing is refused from now on; a pass must not take the store's files as deleted.
  std::string const listing = std::string(GetParam()) == "onedrive" ? "children" : "list_folder";
  server.set_faults(R"([{"path": ")" + listing + R"(", "times": 100000, "status": 429}])");
  std::size_t const before = server.requests().size();
  ASSERT_TRUE(eventually([&] { return server.requests().size() > before + 4; }, 30s)) << log();
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(fs::exists(local / "a.txt"));
  EXPECT_TRUE(fs::exists(local / "sub/b.txt"));
  EXPECT_TRUE(fs::exists(remote() / "a.txt"));
  EXPECT_TRUE(fs::exists(remote() / "sub/b.txt"));
  for (std::string const& line : server.requests()) {
    EXPECT_EQ(line.find("\"DELETE\""), std::string::npos) << line;
    EXPECT_EQ(line.find("delete_v2"), std::string::npos) << line;
  }
  // The run ended at the refused listing, saying why.
  std::string const error = status_of("drive-item")["first_error"];
  EXPECT_NE(error.find("The server is unavailable"), std::string::npos) << error;
  EXPECT_NE(error.find("remaining files were skipped"), std::string::npos) << error;
  EXPECT_EQ(terminate(), 0);
}

INSTANTIATE_TEST_SUITE_P(Stores, DriveSync, ::testing::Values("onedrive", "dropbox"));

}  // namespace
