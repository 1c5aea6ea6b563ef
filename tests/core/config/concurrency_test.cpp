// Registries and the file used from several threads at once (also run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "config_fixture.h"

namespace {

using namespace KVO_Core;
using config_test::ConfigFixture;
using config_test::wide;

using ConfigConcurrency = ConfigFixture;

SshAccount account_named(std::string const& name) {
  SshAccount account;
  account.set_name(name);
  account.set_host("h");
  return account;
}

TEST_F(ConfigConcurrency, FourThreadsAddListFindAndRename) {
  constexpr int ROUNDS = 200;
  config().add(account_named("nas"), true);
  config().pathname(wide(config_file()));
  ASSERT_TRUE(config().write(wide(config_file())));

  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // adds accounts and items
    for (int i = 0; i < ROUNDS; ++i) {
      config().add(account_named("acc" + std::to_string(i)), false);
      config().add(SyncItem(L"item" + std::to_wstring(i), SyncItemType::Tree, L"nas:/s",
                            L"/t" + std::to_wstring(i), L""),
                   false);
    }
  });
  threads.emplace_back([&] {  // lists and finds
    for (int i = 0; i < ROUNDS; ++i) {
      auto items = config().syncitems();
      auto accounts = config().ssh_accounts_snapshot();
      config().find_by_name(L"item" + std::to_wstring(i / 2));
      config().find_ssh_account_by_name("acc" + std::to_string(i / 2));
      config().find(L"nas:/s", true);
      EXPECT_TRUE(config().find_ssh_account_by_name("nas").has_value());
    }
  });
  threads.emplace_back([&] {  // renames and updates
    for (int i = 0; i < ROUNDS; ++i) {
      std::string name = i % 2 ? "nas" : "nas";
      SshAccount renamed = account_named(name);
      renamed.port = static_cast<std::uint16_t>(2000 + i);
      config().update_ssh_account(0, renamed);
      config().update_ssh_account_references("nas", renamed);
      if (auto item = config().find_by_name(L"item" + std::to_wstring(i / 2))) {
        item->wildcard = L"*.txt";
        config().update_by_name(item->name, *item);
      }
      config().refresh_last_sync(L"item0");
      config().set_device_account(account_named("phone"));
      config().clear_device_account("phone");
    }
  });
  threads.emplace_back([&] {  // writes the file while the others change the lists
    for (int i = 0; i < 10; ++i) {
      EXPECT_TRUE(config().write(wide(config_file())));
      EXPECT_FALSE(config().file_changed_on_disk());
      config().ssh_account_referenced_by_any_item("nas");
    }
  });
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(config().syncitems().size(), static_cast<std::size_t>(ROUNDS));
  EXPECT_EQ(config().ssh_accounts_snapshot().size(), static_cast<std::size_t>(ROUNDS + 1));
  for (auto const& item : config().syncitems()) {
    EXPECT_EQ(item.ssh_path(item.source())->account().name(), "nas");
  }
  ASSERT_TRUE(config().write(wide(config_file())));
  Config::unload();
  ASSERT_TRUE(config().read(wide(config_file())));
  EXPECT_EQ(config().syncitems().size(), static_cast<std::size_t>(ROUNDS));
}

}  // namespace
