// A rotated refresh token reaching the configuration and its file.
#include <gtest/gtest.h>

#include "cloud_fixture.h"
#include "core/cloud/oauth/TokenSave.h"

namespace {

using namespace KVO_Core;
using cloud_test::account_entry;
using oauth::save_refresh_token;
using oauth::SaveOutcome;
using test_support::read_file;
using test_support::write_file;

using TokenSave = cloud_test::CloudFixture;

TEST_F(TokenSave, WrittenIntoTheNamedAccountOnly) {
  ASSERT_TRUE(read_accounts(account_entry("nas", "s3", "secret") + "," +
                            account_entry("g", "googleDrive", "r0")));
  EXPECT_EQ(save_refresh_token("g", "r0", "r1"), SaveOutcome::Saved);
  EXPECT_FALSE(config().file_changed_on_disk());  // the service does not reload its own write

  ASSERT_TRUE(reread());
  EXPECT_EQ(password_of("g"), "r1");
  EXPECT_EQ(password_of("nas"), "secret");
}

TEST_F(TokenSave, FileChangedOnDiskIsNotOverwritten) {
  ASSERT_TRUE(read_accounts(account_entry("g", "googleDrive", "r0")));
  // Another program adds an account meanwhile.
  std::string const edited = read_file(config_file()) + "\n";
  write_file(config_file(), edited);
  EXPECT_EQ(save_refresh_token("g", "r0", "r1"), SaveOutcome::Deferred);
  EXPECT_EQ(read_file(config_file()), edited);
  EXPECT_EQ(password_of("g"), "r0");

  // Once the file was read again, the token goes into what was read.
  ASSERT_TRUE(read_accounts(account_entry("g", "googleDrive", "r0") + "," +
                            account_entry("other", "dropbox", "d0")));
  EXPECT_EQ(save_refresh_token("g", "r0", "r1"), SaveOutcome::Saved);
  ASSERT_TRUE(reread());
  EXPECT_EQ(password_of("g"), "r1");
  EXPECT_EQ(password_of("other"), "d0");
}

TEST_F(TokenSave, AnotherLoginOrNoAccountIsLeftAlone) {
  ASSERT_TRUE(read_accounts(account_entry("g", "googleDrive", "new-login")));
  std::string const before = read_file(config_file());
  EXPECT_EQ(save_refresh_token("g", "r0", "r1"), SaveOutcome::NotApplicable);
  EXPECT_EQ(save_refresh_token("missing", "r0", "r1"), SaveOutcome::NotApplicable);
  EXPECT_EQ(password_of("g"), "new-login");
  EXPECT_EQ(read_file(config_file()), before);
  EXPECT_FALSE(config().modified());
}

TEST_F(TokenSave, WithoutAFileOnlyTheMemoryChanges) {
  SshAccount account;
  account.set_name("g");
  account.set_password("r0");
  account.kind = SshAccount::GoogleDrive;
  config().add(account, true);
  EXPECT_EQ(save_refresh_token("g", "r0", "r1"), SaveOutcome::Saved);
  EXPECT_EQ(password_of("g"), "r1");
  EXPECT_FALSE(std::filesystem::exists(config_file()));
}

}  // namespace
