// The real service with a folder on the fake Google Drive as a two-way item's target: both
// sides meet, and a refresh token that the provider rotates (revoking the old one) reaches the
// configuration file without a reload, so that the next start still gets in.
#include <boost/property_tree/json_parser.hpp>

#include "service_fixture.h"
#include "support/fake_cloud.h"

namespace {

using namespace service_test;

std::string config_with_drive(std::vector<Item> const& items, std::string const& url) {
  std::string text = config_json(items);
  std::string const section = R"(
  "SshAccounts": [{"name": "gd", "host": "", "user": "", "port": "22", "password": "refresh-1",
    "googleDrive": "true", "url": ")" +
                              json_text(url) + R"("}],)";
  text.insert(text.find("\n  \"Syncitems\""), section);
  std::string const to = "\"target\": \"gd:";
  for (auto at = text.find(to); at != std::string::npos; at = text.find(to, at + 30))
    text.insert(at, "\"targetType\": \"ssh\", ");
  return text;
}

// tree_of without its folders.
std::map<std::string, std::string> files_of(fs::path const& root) {
  auto tree = tree_of(root);
  std::erase_if(tree, [](auto const& entry) { return entry.second == "/"; });
  return tree;
}

std::string shown(std::map<std::string, std::string> const& tree) {
  std::string text;
  for (auto const& [path, content] : tree) text += path + "=" + content + "; ";
  return text;
}

class DriveService : public Service {
 protected:
  void SetUp() override { ASSERT_TRUE(cloud.started()) << "the fake cloud server did not start"; }

  // Path below the folder -> content of every file not in the trash.
  std::map<std::string, std::string> drive_tree(std::string const& folder) const {
    boost::property_tree::ptree state;
    std::istringstream text(cloud.control("state"));
    boost::property_tree::read_json(text, state);
    struct Node {
      std::string name, parent, content;
      bool folder, trashed;
    };
    std::map<std::string, Node> nodes;
    for (auto const& [key, node] : state.get_child("nodes")) {
      nodes[node.get<std::string>("id")] = {
          node.get<std::string>("name"), node.get_child("parents").front().second.data(),
          node.get<std::string>("content"),
          node.get<std::string>("mimeType") == "application/vnd.google-apps.folder",
          node.get<bool>("trashed")};
    }
    std::map<std::string, std::string> files;
    for (auto const& [id, node] : nodes) {
      std::string path = node.name;
      bool live = !node.trashed;
      for (std::string parent = node.parent; parent != "root" && live;) {
        auto const& up = nodes.at(parent);
        live = !up.trashed;
        path = up.name + "/" + path;
        parent = up.parent;
      }
      if (live && !node.folder && path.starts_with(folder + "/"))
        files[path.substr(folder.size() + 1)] = node.content;
    }
    return files;
  }

  test_support::TempDir cloud_dir;
  test_support::FakeCloud cloud{cloud_dir.path()};
  test_support::ScopedEnv endpoints{"PELLI_TEST_OAUTH_BASE", cloud.base().c_str()};
};

TEST_F(DriveService, TwoWayItemAndARotatedTokenThatOutlivesARestart) {
  cloud.control("config", R"({"rotate": true, "rotate_revokes": true})");
  cloud.control("add", R"({"path": "/both/theirs.txt", "content": "from there"})");
  fs::path const local = files / "local";
  test_support::write_file(local / "mine.txt", "from here");
  test_support::write_file(local / "sub/deeper.txt", "nested");
  Item item = tree_item("both", local, "gd:/both", true);
  write_config(config_with_drive({item}, cloud.base()));
  std::string const written = test_support::read_file(config_file());
  start();
  ASSERT_TRUE(eventually([&] { return drive_tree("both") == files_of(local); }, 60s))
      << shown(drive_tree("both")) << "\n"
      << shown(files_of(local)) << "\n"
      << log();
  EXPECT_EQ(test_support::read_file(local / "theirs.txt"), "from there");
  ASSERT_TRUE(eventually([&] { return status_of("both")["errors"] == "0"; })) << log();
  // The rotated token was written by the service itself, which does not read its own write.
  ASSERT_TRUE(eventually([&] { return test_support::read_file(config_file()) != written; }))
      << log();
  EXPECT_EQ(log_count("refresh-"), 0u) << "a token reached the log\n" << log();
  EXPECT_EQ(log_count("access-"), 0u) << "a token reached the log\n" << log();
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(log_count("Configuration read again"), 0u) << log();
  EXPECT_EQ(terminate(), 0);

  // The first refresh token is revoked now: a new start gets in only with the saved one.
  test_support::write_file(local / "after restart.txt", "again");
  start();
  EXPECT_TRUE(eventually([&] { return drive_tree("both") == files_of(local); }, 60s)) << log();
  EXPECT_EQ(log_count("access token has expired"), 0u) << log();
  EXPECT_EQ(terminate(), 0);
}

}  // namespace
