// The item model, the account and device records, the schedule and the volume-name form.
#include <gtest/gtest.h>

#include "config_fixture.h"
#include "core/config/Accounts.h"
#include "core/config/Schedule.h"
#include "core/config/SyncItem.h"
#include "core/config/VolumeName.h"

namespace {

using namespace KVO_Core;
using config_test::ConfigFixture;

TEST(SyncItemNames, TypeTableBothWays) {
  struct Case {
    std::wstring text;
    SyncItemType type;
  };
  for (auto const& c : std::vector<Case>{{L"Datei", SyncItemType::File},
                                         {L"Verzeichnis", SyncItemType::Directory},
                                         {L"Verzeichnisbaum", SyncItemType::Tree},
                                         {L"sync_item_type_tree", SyncItemType::Tree},
                                         {L"sync_item_type_dir", SyncItemType::Directory},
                                         {L"tree", SyncItemType::None},
                                         {L"folder", SyncItemType::None},
                                         {L"", SyncItemType::None}}) {
    EXPECT_EQ(str_to_sync_item_type(c.text), c.type) << Utilities::util::wstring_to_string(c.text);
  }
  EXPECT_EQ(sync_item_type_key(SyncItemType::Tree), L"Verzeichnisbaum");
  EXPECT_EQ(sync_item_type_key(SyncItemType::None), L"");
  EXPECT_EQ(sync_item_type_key(static_cast<SyncItemType>(7)), L"");
  for (auto const& row : SYNC_ITEM_TYPE_NAMES) {
    auto type = static_cast<SyncItemType>(row.value);
    EXPECT_EQ(str_to_sync_item_type(sync_item_type_key(type)), type);
  }
}

TEST(SyncItemNames, SymlinkModeTableBothWays) {
  EXPECT_EQ(str_to_symlink_mode(L"asLink"), SymlinkMode::AsLink);
  EXPECT_EQ(str_to_symlink_mode(L"follow"), SymlinkMode::Follow);
  EXPECT_EQ(str_to_symlink_mode(L""), SymlinkMode::FileContent);
  EXPECT_EQ(str_to_symlink_mode(L"AsLink"), SymlinkMode::FileContent);
  for (auto const& row : SYMLINK_MODE_NAMES) {
    auto mode = static_cast<SymlinkMode>(row.value);
    EXPECT_EQ(str_to_symlink_mode(symlink_mode_key(mode)), mode);
  }
  EXPECT_EQ(symlink_mode_key(static_cast<SymlinkMode>(3)), L"");
}

TEST(CompareItems, SetAndToggle) {
  CompareItems items;
  EXPECT_TRUE(items.content());
  EXPECT_FALSE(items.time());
  EXPECT_EQ(items.timeToleranceSeconds, 2);
  items.time(true);
  items.set(L"time", false);  // set never removes
  EXPECT_TRUE(items.time());
  EXPECT_TRUE(items.content());
  items.time(false);
  EXPECT_FALSE(items.time());
  items.set(L"size", true);
  items.set(L"Size", true);
  EXPECT_TRUE(items.size());
  EXPECT_EQ(items.items.size(), 2u);
}

TEST(IsExcluded, Table) {
  Exclusions patterns({L"*.tmp", L"~*"});
  struct Case {
    std::wstring name;
    bool excluded;
  };
  for (auto const& c : std::vector<Case>{{L"report.pdf.kvo-part", true},
                                         {L".kvo-part", true},
                                         {L"kvo-part", false},
                                         {L"~lock", true},
                                         {L"a.tmp", true},
                                         {L"a.TMP", false},
                                         {L"a.tmp.txt", false},
                                         {L"", false}}) {
    EXPECT_EQ(is_excluded(c.name, patterns), c.excluded)
        << Utilities::util::wstring_to_string(c.name);
  }
  EXPECT_FALSE(is_excluded(L"a.tmp", Exclusions{}));
}

TEST(DeviceChecks, IdAndNameTables) {
  std::string good_id(32, 'a');
  good_id.replace(0, 10, "0123456789");
  struct Case {
    std::string text;
    bool valid;
  };
  for (auto const& c : std::vector<Case>{{good_id, true},
                                         {"0123456789abcdef0123456789abcdeF", false},
                                         {std::string(31, 'a'), false},
                                         {std::string(33, 'a'), false},
                                         {std::string(31, 'a') + "g", false},
                                         {"", false}}) {
    EXPECT_EQ(valid_device_id(c.text), c.valid) << c.text;
  }
  for (auto const& c : std::vector<Case>{{std::string(128, 'x'), true},
                                         {std::string(129, 'x'), false},
                                         {"", false},
                                         {"my\tphone", false},
                                         {"my\x7fphone", false},
                                         {"Jürgens Telefon", true}}) {
    EXPECT_EQ(valid_device_name(c.text), c.valid) << c.text;
  }
}

TEST(SshAccount, DefaultsAndStoredPassword) {
  SshAccount account;
  EXPECT_EQ(account.port, 22);
  EXPECT_EQ(account.kind, SshAccount::Ssh);
  EXPECT_TRUE(account.name().empty() && account.password().empty());
  account.stored_password = "$AES256GCM$old";
  account.set_password("");
  EXPECT_EQ(account.stored_password, "$AES256GCM$old");
  account.set_password("new");
  EXPECT_TRUE(account.stored_password.empty());
  EXPECT_EQ(account.password(), "new");
}

TEST(Schedule, Normalized) {
  struct Case {
    Schedule in;
    Schedule out;
  };
  for (auto const& c : std::vector<Case>{{{true, 1500, 1440, 0}, {true, 60, 0, 127}},
                                         {{false, 0, 0, 128}, {false, 0, 0, 127}},
                                         {{true, 10, 20, 0x85}, {true, 10, 20, 5}},
                                         {{false, 0, 0, 127}, {false, 0, 0, 127}}}) {
    EXPECT_EQ(c.in.normalized(), c.out);
  }
}

TEST(VolumeName, Table) {
  struct Case {
    std::wstring path;
    bool volume_form;
    std::wstring plain;
    std::wstring volume;
  };
  for (auto const& c : std::vector<Case>{
           {L"Backup (E:)/photos", true, L"E:/photos", L"Backup"},
           {L"/Users/me/photos", false, L"/Users/me/photos", L""},
           {L"nas:/shares (old)", false, L"nas:/shares (old)", L""},
           {L"/Volumes/Data (2)/x", false, L"/Volumes/Data (2)/x", L""},
           {L"Backup (E:", true, L"Backup (E:", L"Backup"},
           // A folder name with a time in parentheses is no volume root.
           {L"/home/me/Meeting (2023-01-05 10:00)/notes", true,
            L"/home/me/Meeting (2023-01-05 10:00)/notes", L"/home/me/Meeting"},
           {L"x) (E:)/a", true, L"E:/a", L"x)"},
       }) {
    std::string label = Utilities::util::wstring_to_string(c.path);
    EXPECT_EQ(path_contains_volume_name(c.path), c.volume_form) << label;
    EXPECT_EQ(without_volume_spec(c.path), c.plain) << label;
    EXPECT_EQ(volume_name(c.path), c.volume) << label;
  }
  EXPECT_EQ(root_name(L"Backup (E:)/photos"), L"E:");
  EXPECT_EQ(root_name(L"/Users/me/photos"), L"");
  EXPECT_THROW(root_name(L"Backup (E:"), std::runtime_error);
}

class SyncItemSides : public ConfigFixture {
 protected:
  SyncItemSides() {
    SshAccount nas;
    nas.set_name("nas");
    nas.set_host("nas.local");
    config().add(nas, true);
  }
};

TEST_F(SyncItemSides, TextBecomesRemoteOnlyForAKnownAccount) {
  SyncItem item(L"i", SyncItemType::Tree, L"nas:/data", L"other:/x", L"");
  ASSERT_TRUE(item.ssh_path(item.source()));
  EXPECT_EQ(item.ssh_path(item.source())->remote_path(), L"/data");
  EXPECT_EQ(item.source()->path(), L"nas:/data");
  EXPECT_EQ(item.target()->kind, SyncPath::Filesystem);
  EXPECT_EQ(item.target()->path(), L"other:/x");
  EXPECT_EQ(item.ssh_path_type(), SSHPATH::Source);
  item.target(L"nas:/y");
  EXPECT_EQ(item.ssh_path_type(), SSHPATH::Both);
  item.source(L"/local");
  EXPECT_EQ(item.ssh_path_type(), SSHPATH::Target);
  EXPECT_EQ(SyncItem().ssh_path_type(), SSHPATH::None);

  SshPath foreign(item.ssh_path(item.target())->account(), L"other:/x");
  EXPECT_EQ(foreign.path(), L"nas:other:/x");
}

TEST_F(SyncItemSides, CopiesAreDeep) {
  SyncItem item(L"i", SyncItemType::Tree, L"nas:/data", L"/t", L"");
  item.last_run = LastRun{true, 2, L"first", 5};
  SyncItem copy = item;
  SshAccount renamed;
  renamed.set_name("nas2");
  EXPECT_TRUE(item.references_ssh_account("nas"));
  EXPECT_TRUE(item.rename_ssh_account_reference("nas", renamed));
  EXPECT_FALSE(item.rename_ssh_account_reference("nas", renamed));
  EXPECT_EQ(item.source()->path(), L"nas2:/data");
  EXPECT_EQ(copy.source()->path(), L"nas:/data");
  EXPECT_EQ(copy.last_run, item.last_run);
  EXPECT_NE(copy.source().get(), item.source().get());

  SyncItem assigned;
  assigned = copy;
  EXPECT_EQ(assigned.source()->path(), L"nas:/data");
  SyncItem moved = std::move(assigned);
  EXPECT_EQ(moved.target()->path(), L"/t");
}

}  // namespace
