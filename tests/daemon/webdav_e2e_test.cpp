// The real service with a WebDAV folder on the loopback Apache as an item's target: one way and
// two ways, a stop in the middle of an upload, a server that refuses one file, and one that is
// too busy to answer.
#include "service_fixture.h"
#include "support/webdav_server.h"

namespace {

using namespace service_test;
using test_support::WebdavServer;

// The configuration of the items with the WebDAV account "web" on `url`; targets that begin
// with "web:" are marked as remote.
std::string config_with_webdav(std::vector<Item> const& items, std::string const& url,
                               std::string const& extra_settings = "") {
  std::string text = config_json(items, extra_settings);
  std::string const section = R"(
  "SshAccounts": [{"name": "web", "host": "", "user": ")" +
                              WebdavServer::user() + R"(", "port": "22", "password": ")" +
                              WebdavServer::password() + R"(", "url": ")" + json_text(url) +
                              R"("}],)";
  text.insert(text.find("\n  \"Syncitems\""), section);
  std::string const to = "\"target\": \"web:";
  for (auto at = text.find(to); at != std::string::npos; at = text.find(to, at + 30))
    text.insert(at, "\"targetType\": \"ssh\", ");
  return text;
}

class WebdavService : public Service {
 protected:
  void SetUp() override { ASSERT_TRUE(server.started()) << "the loopback Apache did not start"; }

  // What the server holds below a folder, after handing it back from the server's user.
  std::map<std::string, std::string> remote_tree(std::string const& folder) const {
    return tree_of(server.root() / folder);
  }

  test_support::TempDir server_dir;
  WebdavServer server{server_dir.path() / "server"};
};

TEST_F(WebdavService, OneWayItemFollowsTheSourceAndASecondPassCopiesNothing) {
  fs::path const src = files / "src";
  test_support::write_file(src / "a b.txt", "alpha");
  test_support::write_file(src / "sub #1/b+c.txt", "beta");
  test_support::write_file(src / "caf\xc3\xa9/\xf0\x9f\x98\x80", "smile");
  write_large_file(src / "sub #1/big.bin", 17);
  Item item = tree_item("push", src, "web:/backup", false, R"(, "syncDeletions": "true")");
  write_config(config_with_webdav({item}, server.url()));
  start();
  ASSERT_TRUE(eventually([&] { return remote_tree("backup") == tree_of(src); }, 60s)) << log();
  ASSERT_TRUE(eventually([&] { return status_of("push")["errors"] == "0"; })) << log();
  std::size_t const copies = log_count("\tCopied");
  EXPECT_EQ(copies, 4u) << log();
  // Apache keeps no time it is sent: said once for the account, not per file.
  EXPECT_EQ(log_count("does not keep the files' modification times"), 1u) << log();
  std::this_thread::sleep_for(4s);
  EXPECT_EQ(log_count("\tCopied"), copies) << "a second pass copied again\n" << log();

  test_support::write_file(src / "a b.txt", "alpha, edited");
  fs::last_write_time(src / "a b.txt", fs::last_write_time(src / "a b.txt") + 10s);
  fs::rename(src / "sub #1/b+c.txt", src / "sub #1/renamed.txt");
  fs::remove(src / "caf\xc3\xa9/\xf0\x9f\x98\x80");
  EXPECT_TRUE(eventually([&] { return remote_tree("backup") == tree_of(src); }, 60s)) << log();
  EXPECT_EQ(status_of("push")["errors"], "0") << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(WebdavService, TwoWayItemCarriesChangesFromBothSides) {
  fs::path const local = files / "local";
  test_support::write_file(local / "mine.txt", "from here");
  test_support::write_file(server.root() / "both" / "theirs.txt", "from there");
  test_support::write_file(server.root() / "both" / "old" / "gone.txt", "to be removed");
  server.adopt();
  Item item = tree_item("both", local, "web:/both", true, R"(, "syncDeletions": "true")");
  write_config(config_with_webdav({item}, server.url()));
  start();
  ASSERT_TRUE(eventually([&] { return remote_tree("both") == tree_of(local); }, 60s)) << log();
  EXPECT_EQ(test_support::read_file(local / "theirs.txt"), "from there");
  ASSERT_TRUE(eventually([&] { return status_of("both")["errors"] == "0"; })) << log();

  // A change on each side: an edit there, a deletion here.
  test_support::write_file(server.root() / "both" / "theirs.txt", "edited there");
  fs::last_write_time(server.root() / "both" / "theirs.txt",
                      fs::file_time_type::clock::now() + 60s);
  server.adopt();
  fs::remove_all(local / "old");
  EXPECT_TRUE(eventually(
      [&] {
        return test_support::read_file(local / "theirs.txt") == "edited there" &&
               !fs::exists(server.root() / "both" / "old");
      },
      60s))
      << log();
  EXPECT_EQ(remote_tree("both"), tree_of(local));
  EXPECT_EQ(terminate(), 0);
}

TEST_F(WebdavService, StopInTheMiddleOfAnUploadLeavesNoPartialFile) {
  fs::path const src = files / "src";
  write_large_file(src / "big.bin", 64);
  Item item = tree_item("push", src, "web:/backup");
  // 4 MiB per second: the upload takes long enough to be stopped in the middle.
  write_config(config_with_webdav({item}, server.url(), R"(, "TransferLimitKB": "4096")"));
  start();
  fs::path const target = server.root() / "backup";
  ASSERT_TRUE(eventually([&] { return names_in(target).size() > 0; }, 30s)) << log();
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(terminate(), 0) << log();
  for (std::string const& name : names_in(target)) {
    EXPECT_NE(name, "big.bin") << "a partial upload stands under the final name";
  }
  EXPECT_FALSE(fs::exists(target / "big.bin"));
}

TEST_F(WebdavService, AFileTheServerRefusesFailsAloneAndABusyServerDeletesNothing) {
  fs::path const src = files / "src";
  test_support::write_file(src / "a.txt", "alpha");
  test_support::write_file(src / "x-refuse-500.txt", "refused");
  test_support::write_file(src / "b.txt", "beta");
  Item item = tree_item("push", src, "web:/backup", true, R"(, "syncDeletions": "true")");
  write_config(config_with_webdav({item}, server.url()));
  start();
  ASSERT_TRUE(eventually(
      [&] {
        return fs::exists(server.root() / "backup/a.txt") &&
               fs::exists(server.root() / "backup/b.txt") && status_of("push")["errors"] == "1";
      },
      60s))
      << log();
  EXPECT_FALSE(fs::exists(server.root() / "backup/x-refuse-500.txt"));
  EXPECT_TRUE(fs::exists(src / "x-refuse-500.txt"));
  EXPECT_EQ(terminate(), 0);

  // The same folder behind an address that answers 503: the run is abandoned, both sides and
  // what the item remembers stay.
  auto const before = tree_of(src);
  auto const remote_before = remote_tree("backup");
  write_config(config_with_webdav({item}, server.url("busy")));
  start();
  ASSERT_TRUE(eventually([&] { return log_count("HTTP 503") >= 1; }, 60s)) << log();
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(tree_of(src), before);
  EXPECT_EQ(remote_tree("backup"), remote_before);
  EXPECT_EQ(terminate(), 0);

  write_config(config_with_webdav({item}, server.url()));
  start();
  std::this_thread::sleep_for(4s);
  EXPECT_EQ(tree_of(src), before) << log();
  EXPECT_TRUE(fs::exists(server.root() / "backup/a.txt"));
  EXPECT_EQ(terminate(), 0);
}

}  // namespace
