// The registries of items, accounts and devices, and the location of the configuration file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "config_fixture.h"
#include "core/config/ItemFiles.h"
#include "core/config/RemotePaths.h"
#include "core/config/StateLocation.h"
#include "core/config/StatusFile.h"

namespace {

using namespace KVO_Core;
using config_test::ConfigFixture;
using config_test::wide;
using test_support::read_file;
using test_support::write_file;

SshAccount account_named(std::string const& name, std::string const& host) {
  SshAccount account;
  account.set_name(name);
  account.set_host(host);
  return account;
}

Device device_with(std::string const& id, std::string const& host_key) {
  return Device{id, "phone", "ab12", host_key};
}

constexpr char const* PHONE_ID = "0123456789abcdef0123456789abcdef";

using Registry = ConfigFixture;

TEST_F(Registry, AccountLookupPrecedence) {
  config().add(device_with(PHONE_ID, "ssh-ed25519 AAAA"), true);
  auto from_device = config().find_ssh_account_by_name(PHONE_ID);
  ASSERT_TRUE(from_device);
  EXPECT_EQ(from_device->name(), PHONE_ID);
  EXPECT_EQ(from_device->hostKey, "ssh-ed25519 AAAA");
  EXPECT_EQ(from_device->port, 22);
  EXPECT_TRUE(from_device->host().empty());

  config().set_device_account(account_named(PHONE_ID, "served-first"));
  config().set_device_account(account_named(PHONE_ID, "served"));
  EXPECT_EQ(config().find_ssh_account_by_name(PHONE_ID)->host(), "served");

  config().add(account_named(PHONE_ID, "configured"), true);
  EXPECT_EQ(config().find_ssh_account_by_name(PHONE_ID)->host(), "configured");

  config().clear_device_account("nobody");
  config().clear_device_account(PHONE_ID);
  EXPECT_FALSE(config().device_account("nobody"));
  EXPECT_FALSE(config().find_ssh_account_by_name("nobody"));
  EXPECT_FALSE(config().modified());
}

TEST_F(Registry, RemotePathsAndGetAccount) {
  config().add(account_named("nas", "h"), true);
  struct Case {
    std::wstring path;
    std::string account;  // empty: none
    std::string remote;
  };
  for (auto const& c : std::vector<Case>{{L"nas:/data", "nas", "/data"},
                                         {L":nas", "", "nas"},
                                         {L"/local/path", "", "/local/path"},
                                         {L"other:/x", "", "/x"},
                                         {L"nas:", "nas", ""}}) {
    std::string label = Utilities::util::wstring_to_string(c.path);
    auto found = get_account_from_path(c.path);
    EXPECT_EQ(found ? found->name() : "", c.account) << label;
    EXPECT_EQ(get_account(c.path).name(), c.account) << label;
    EXPECT_EQ(get_account(c.path).port, 22) << label;
    EXPECT_EQ(get_remote_path(c.path), c.remote) << label;
  }
}

TEST_F(Registry, BadIndexChangesNothing) {
  config().add(account_named("a", "h"), true);
  config().add(SyncItem(L"one", SyncItemType::Tree, L"/s", L"/t", L""), true);
  EXPECT_FALSE(config().ssh_account_at(1));
  EXPECT_FALSE(config().remove_ssh_account(1));
  EXPECT_FALSE(config().update_ssh_account(1, account_named("b", "h")));
  EXPECT_FALSE(config().item(1));
  EXPECT_FALSE(config().set(1, SyncItem(L"x", SyncItemType::Tree, L"/s", L"/t", L"")));
  EXPECT_FALSE(config().remove(5));
  EXPECT_FALSE(config().modified());
  EXPECT_EQ(config().ssh_accounts_snapshot().size(), 1u);
  EXPECT_EQ(config().syncitems().size(), 1u);
  EXPECT_TRUE(log.has("config_index_invalid"));

  EXPECT_TRUE(config().update_ssh_account(0, account_named("b", "h")));
  EXPECT_TRUE(config().modified());
  EXPECT_EQ(config().ssh_account_at(0)->name(), "b");
}

TEST_F(Registry, UpdateAccountByName) {
  config().add(account_named("a", "h1"), true);
  config().add(account_named("b", "h2"), true);
  config().add(account_named("b", "h3"), true);
  auto set_host = [](std::string host) {
    return [host](SshAccount& account) {
      account.set_host(host);
      return true;
    };
  };
  EXPECT_FALSE(config().update_ssh_account_by_name("none", set_host("x")));
  EXPECT_FALSE(config().update_ssh_account_by_name("b", [](SshAccount&) { return false; }));
  EXPECT_FALSE(config().modified());

  EXPECT_TRUE(config().update_ssh_account_by_name("b", set_host("new")));
  EXPECT_TRUE(config().modified());
  auto accounts = config().ssh_accounts_snapshot();
  ASSERT_EQ(accounts.size(), 3u);
  EXPECT_EQ(accounts[0].host(), "h1");
  EXPECT_EQ(accounts[1].host(), "new");
  EXPECT_EQ(accounts[2].host(), "h3");
}

TEST_F(Registry, Devices) {
  config().add(device_with(PHONE_ID, ""), true);
  EXPECT_FALSE(config().update_device(device_with("ffffffffffffffffffffffffffffffff", "")));
  EXPECT_FALSE(config().remove_device("nobody"));
  EXPECT_FALSE(config().modified());
  EXPECT_TRUE(config().update_device(device_with(PHONE_ID, "key")));
  EXPECT_EQ(config().find_device(PHONE_ID)->sshHostKey, "key");
  EXPECT_TRUE(config().remove_device(PHONE_ID));
  EXPECT_TRUE(config().devices_snapshot().empty());
}

TEST_F(Registry, ItemsLookupsAndReferences) {
  config().add(account_named("nas", "h"), true);
  config().add(SyncItem(L"one", SyncItemType::Tree, L"nas:/s", L"/t", L""), false);
  EXPECT_TRUE(config().modified());
  SyncItem sideless;
  sideless.name = L"two";
  config().add(sideless, true);
  EXPECT_EQ(config().find(L"nas:/s", true)->name, L"one");
  EXPECT_EQ(config().find(L"", true)->name, L"two");
  EXPECT_FALSE(config().find(L"/t", true));
  EXPECT_EQ(config().find(L"/t", false)->name, L"one");

  EXPECT_TRUE(config().ssh_account_referenced_by_any_item("nas"));
  EXPECT_FALSE(config().update_ssh_account_references("other", account_named("x", "h")));
  EXPECT_TRUE(config().update_ssh_account_references("nas", account_named("nas2", "h2")));
  EXPECT_EQ(config().find_by_name(L"one")->source()->path(), L"nas2:/s");

  config().record_last_run(L"one", LastRun{true, 1, L"e", std::nullopt});
  config().refresh_last_sync(L"one");
  auto one = config().find_by_name(L"one");
  EXPECT_EQ(one->last_run->first_error, L"e");
  EXPECT_NE(one->last_sync, std::chrono::steady_clock::time_point::min());
  EXPECT_FALSE(config().update_by_name(L"none", *one));
  EXPECT_FALSE(Config::sync_possible());  // never read
}

TEST_F(Registry, EraseRemovesStateAndStatusFiles) {
  SyncItem item(L"photos: 2024", SyncItemType::Tree, L"/s", L"/t", L"");
  config().add(item, true);
  auto state = sync_state_file_path(sync_state_dir(), item.name);
  auto status = item_status::file_path(item.name);
  EXPECT_EQ(state.filename(), "photos_ 2024.tsv");
  EXPECT_EQ(status.filename(), "photos_ 2024.status");
  EXPECT_EQ(state.parent_path(), data_folder() / "state");
  write_file(state, "x");
  write_file(status, "x");
  EXPECT_FALSE(config().erase_by_name(L"nobody"));
  EXPECT_TRUE(std::filesystem::exists(state));
  EXPECT_TRUE(config().erase_by_name(L"photos: 2024"));
  EXPECT_FALSE(std::filesystem::exists(state));
  EXPECT_FALSE(std::filesystem::exists(status));
  EXPECT_TRUE(config().syncitems().empty());
  // Nothing there to remove is no error.
  config().add(item, true);
  EXPECT_TRUE(config().remove(0));
  EXPECT_EQ(sync_state_file_path(sync_state_dir(), L"...").filename(), "state.tsv");
  EXPECT_EQ(item_status::file_path(L"").filename(), "status.status");
}

TEST_F(Registry, ItemsSharingAFileNameGetTheirOwn) {
  config().add(SyncItem(L"a/b", SyncItemType::Tree, L"/s1", L"/t1", L""), true);
  config().add(SyncItem(L"a:b", SyncItemType::Tree, L"/s2", L"/t2", L""), true);
  config().add(SyncItem(L"a/b", SyncItemType::Tree, L"/s3", L"/t3", L""), true);
  config().add(SyncItem(L"other", SyncItemType::Tree, L"/s4", L"/t4", L""), true);
  auto items = config().syncitems();
  std::set<std::filesystem::path> state_files;
  std::set<std::filesystem::path> status_files;
  for (auto const& item : items) {
    state_files.insert(sync_state_file_path(sync_state_dir(), item));
    status_files.insert(item_status::file_path(item));
  }
  EXPECT_EQ(state_files.size(), 4u);
  EXPECT_EQ(status_files.size(), 4u);
  EXPECT_EQ(sync_state_file_path(sync_state_dir(), items[0]).filename(), "a_b.tsv");
  EXPECT_EQ(sync_state_file_path(sync_state_dir(), items[1]).filename(), "a_b-2.tsv");
  EXPECT_EQ(item_status::file_path(items[2]).filename(), "a_b-3.status");
  EXPECT_EQ(items[3].file_suffix, 0u);
  EXPECT_TRUE(log.has("config_item_file_name_shared"));

  // Erasing the second removes its own files only.
  write_file(sync_state_file_path(sync_state_dir(), items[0]), "first");
  write_file(sync_state_file_path(sync_state_dir(), items[1]), "second");
  EXPECT_TRUE(config().remove(1));
  EXPECT_EQ(read_file(sync_state_file_path(sync_state_dir(), items[0])), "first");
  EXPECT_FALSE(std::filesystem::exists(sync_state_file_path(sync_state_dir(), items[1])));
  // A replaced item with the same name keeps its files.
  EXPECT_TRUE(config().set(1, config().item(1).value()));
  EXPECT_EQ(config().item(1)->file_suffix, 3u);
}

TEST(ConfigGetline, SkipsCommentsAndEmptyLines) {
  test_support::TempDir dir;
  write_file(dir / "lines", "// comment\n\nx\n");
  std::wifstream in(dir / "lines");
  EXPECT_EQ(getline(in), L"x");
  EXPECT_EQ(getline(in), L"");
}

using Location = ConfigFixture;

TEST_F(Location, PathBelowHome) {
  EXPECT_EQ(Config::get_root_pathname(), wide(config_file()));
  EXPECT_EQ(data_dir(), data_folder());
}

TEST_F(Location, WithoutHomeTheCurrentFolder) {
  {
    test_support::ScopedEnv no_home("HOME", nullptr);
    EXPECT_EQ(Config::get_root_pathname(), L"pellimoravin.json");
  }
  test_support::ScopedEnv empty_home("HOME", "");
  EXPECT_EQ(Config::get_root_pathname(), L"pellimoravin.json");
}

TEST_F(Location, OneTimeMoveOfTheOlderFile) {
  auto old_file = home() / "pellimoravin.json";
  struct Case {
    char const* name;
    bool old_exists;
    bool new_exists;
    std::string expect_new;  // content at the new place afterwards, "" for none
    bool old_stays;
  };
  for (auto const& c : std::vector<Case>{{"only old", true, false, "old", false},
                                         {"both", true, true, "new", true},
                                         {"only new", false, true, "new", false}}) {
    std::filesystem::remove_all(home() / "Library");
    std::filesystem::remove(old_file);
    if (c.old_exists) write_file(old_file, "old");
    if (c.new_exists) write_file(config_file(), "new");
    Config::get_root_pathname();
    EXPECT_EQ(read_file(config_file()), c.expect_new) << c.name;
    EXPECT_EQ(std::filesystem::exists(old_file), c.old_stays) << c.name;
  }
  EXPECT_TRUE(log.has("config_migrated_from"));
}

TEST_F(Location, MoveNeverReplacesALinkAtTheNewPlace) {
  write_file(home() / "pellimoravin.json", "old");
  std::filesystem::create_directories(data_folder());
  std::filesystem::create_symlink(home() / "elsewhere.json", config_file());
  Config::get_root_pathname();
  EXPECT_TRUE(std::filesystem::is_symlink(config_file()));
  EXPECT_EQ(read_file(home() / "pellimoravin.json"), "old");
}

}  // namespace
