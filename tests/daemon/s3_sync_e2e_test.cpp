// The real service keeping items in step with a bucket of the loopback S3 server: the first pass
// uploads, the second transfers nothing, edits, renames and deletions arrive (both ways for a
// two-way item), and SIGTERM in the middle of a multipart upload ends the service cleanly with
// no object and no open upload left behind.
#include <atomic>

#include "core/cloud/s3/S3Store.h"
#include "core/run/RunContext.h"
#include "service_fixture.h"
#include "support/s3_server.h"
#include "utilities/FileTime.h"

namespace {

using namespace service_test;
using namespace KVO_Core;
using test_support::S3Server;

S3Server& server() { return S3Server::shared(); }

// "name/": a folder; otherwise a file and its content, read back through the store.
using RemoteTree = std::map<std::string, std::string>;

class S3Sync : public Service {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server().started()) << server().problem();
    bucket = server().new_bucket();
    account.set_name("store");
    account.kind = SshAccount::S3;
    account.url = server().endpoint();
    account.region = server().region();
    account.set_user(server().access_key());
    account.set_password(server().secret_key());
  }

  std::string account_json() const {
    return R"({"name": "store", "host": "", "user": ")" + json_text(account.user()) +
           R"(", "password": ")" + json_text(account.password()) + R"(", "url": ")" +
           json_text(account.url) + R"(", "s3": "true", "region": ")" + account.region + "\"}";
  }

  // The items' configuration with the account; targets on the account are marked as such.
  std::string config_for(std::vector<Item> const& items, std::string const& settings = "") const {
    std::string text = config_json(items, settings);
    text.insert(text.find("\n  \"Syncitems\""), "\n  \"SshAccounts\": [" + account_json() + "],");
    std::string const to = "\"target\": \"store:";
    for (auto at = text.find(to); at != std::string::npos; at = text.find(to, at + 30))
      text.insert(at, "\"targetType\": \"ssh\", ");
    return text;
  }

  RemoteTree remote_tree(std::string const& path) const {
    std::atomic<bool> running{false};
    RunContext::StopOverride not_stopping(running);
    RemoteTree tree;
    walk(path, "", tree);
    return tree;
  }

  void walk(std::string const& path, std::string const& relative, RemoteTree& tree) const {
    for (webdav::Entry const& e : s3::list(account, path)) {
      std::string const name = relative + e.name;
      if (e.is_dir) {
        tree[name + "/"] = "";
        walk(path + "/" + e.name, name + "/", tree);
        continue;
      }
      fs::path const copy = scratch.path() / "copy";
      s3::download(account, path + "/" + e.name, copy);
      tree[name] = test_support::read_file(copy);
    }
  }

  // The local tree in the same form.
  static RemoteTree local_tree(fs::path const& root) {
    RemoteTree tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
      std::string const name = it->path().lexically_relative(root).string();
      if (it->is_directory())
        tree[name + "/"] = "";
      else
        tree[name] = test_support::read_file(it->path());
    }
    return tree;
  }

  bool remote_matches(fs::path const& local, std::string const& remote) const {
    try {
      return remote_tree(remote) == local_tree(local);
    } catch (std::exception const&) {
      return false;
    }
  }

  std::string bucket;
  SshAccount account;
  test_support::TempDir scratch;
};

TEST_F(S3Sync, AOneWayItemUploadsOnceAndFollowsTheLocalTree) {
  fs::path const src = files / "src";
  test_support::write_file(src / "a.txt", "alpha");
  test_support::write_file(src / "sub dir/b #1.txt", "beta");
  write_large_file(src / "sub dir/big.bin", 20);
  Item const push =
      tree_item("push", src, "store:" + bucket + "/backup", false, R"(, "syncDeletions": "true")");
  write_config(config_for({push}));
  start();
  ASSERT_TRUE(eventually([&] { return remote_matches(src, bucket + "/backup"); }, 60s)) << log();
  EXPECT_TRUE(eventually([&] { return status_of("push")["errors"] == "0"; })) << log();
  std::size_t const copies = log_count("\tCopied");
  EXPECT_EQ(copies, 3u) << log();
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(log_count("\tCopied"), copies) << "a second pass copied again\n" << log();

  test_support::write_file(src / "a.txt", "alpha, edited");
  fs::last_write_time(src / "a.txt", fs::last_write_time(src / "a.txt") + 10s);
  fs::rename(src / "sub dir/b #1.txt", src / "sub dir/b #2.txt");
  fs::remove(src / "sub dir/big.bin");
  EXPECT_TRUE(eventually([&] { return remote_matches(src, bucket + "/backup"); }, 60s)) << log();
  std::optional<webdav::Entry> const a = [&] {
    std::atomic<bool> running{false};
    RunContext::StopOverride not_stopping(running);
    return s3::stat(account, bucket + "/backup/a.txt");
  }();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->mtime, Utilities::file_time::to_time_t(fs::last_write_time(src / "a.txt")));
  EXPECT_EQ(server().open_uploads(bucket), 0);
  EXPECT_EQ(terminate(), 0);
}

TEST_F(S3Sync, ATwoWayItemCarriesChangesBothWays) {
  fs::path const local = files / "both";
  test_support::write_file(local / "mine.txt", "local");
  Item const both =
      tree_item("both", local, "store:" + bucket + "/shared", true, R"(, "syncDeletions": "true")");
  write_config(config_for({both}));
  start();
  ASSERT_TRUE(eventually([&] { return remote_matches(local, bucket + "/shared"); }, 60s)) << log();

  {
    std::atomic<bool> running{false};
    RunContext::StopOverride not_stopping(running);
    test_support::write_file(scratch.path() / "theirs.txt", "remote");
    ASSERT_EQ(s3::upload(scratch.path() / "theirs.txt", account, bucket + "/shared/theirs.txt"),
              CopyResult::Done);
  }
  EXPECT_TRUE(eventually([&] { return fs::exists(local / "theirs.txt"); }, 60s)) << log();
  EXPECT_EQ(test_support::read_file(local / "theirs.txt"), "remote");
  fs::remove(local / "mine.txt");
  EXPECT_TRUE(eventually([&] { return remote_matches(local, bucket + "/shared"); }, 60s)) << log();
  EXPECT_EQ(status_of("both")["errors"], "0") << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(S3Sync, AFailedPutFailsThatFileOnlyAndABusyServerDeletesNothing) {
  fs::path const local = files / "both";
  for (char const* name : {"a.txt", "b.txt", "c.txt"}) test_support::write_file(local / name, name);
  server().set_faults(bucket, R"([{"method": "PUT", "contains": "/b.txt", "action": "status",
                                   "status": 500, "body": "<Error><Message>boom</Message></Error>"}])");
  Item const both =
      tree_item("both", local, "store:" + bucket + "/shared", true, R"(, "syncDeletions": "true")");
  write_config(config_for({both}));
  start();
  // The first pass puts a and c up and fails b alone; a later pass brings b.
  ASSERT_TRUE(eventually([&] { return log_count("S3 HTTP 500: boom") >= 1; }, 60s)) << log();
  ASSERT_TRUE(eventually([&] { return remote_matches(local, bucket + "/shared"); }, 60s)) << log();

  // While every request is answered "busy", passes fail and nothing is taken as deleted.
  server().set_faults(bucket, R"([{"action": "status", "status": 503, "times": -1}])");
  std::size_t const busy = log_count("S3 HTTP 503");
  ASSERT_TRUE(eventually([&] { return log_count("S3 HTTP 503") > busy; }, 60s)) << log();
  std::this_thread::sleep_for(5s);
  EXPECT_EQ(names_in(local), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"})) << log();
  server().set_faults(bucket, "[]");
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(names_in(local), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"})) << log();
  EXPECT_TRUE(remote_matches(local, bucket + "/shared")) << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(S3Sync, SigtermDuringAMultipartUploadLeavesNothingBehind) {
  fs::path const src = files / "src";
  write_large_file(src / "huge.bin", 64);
  Item const push = tree_item("push", src, "store:" + bucket + "/backup");
  // A capped rate keeps the upload going while the test stops the service.
  write_config(config_for({push}, R"(, "TransferLimitKB": "4000")"));
  start();
  ASSERT_TRUE(eventually(
      [&] { return server().log(bucket).find("partNumber=1") != std::string::npos; }, 60s))
      << log();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(terminate(), 0) << log();
  EXPECT_EQ(server().open_uploads(bucket), 0) << server().log(bucket);
  std::atomic<bool> running{false};
  RunContext::StopOverride not_stopping(running);
  EXPECT_FALSE(s3::stat(account, bucket + "/backup/huge.bin"));
}

}  // namespace
