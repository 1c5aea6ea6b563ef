// What the engine meets on an account that does not exist: every operation fails the way its
// contract describes a failure, with an Error line, never claiming a success.
#include "core/remote/RemoteOps.h"
#include "core/run/SyncReport.h"
#include "engine_fixture.h"

namespace {

using namespace KVO_Core;
using Utilities::LogLevel;

TEST(RemoteStandIn, WritingOperationsFailForAnAccountThatDoesNotExist) {
  engine_test::LogLines log;
  std::wstring const path = L"acct:/x";
  EXPECT_NE(ssh_create_link(L"t", path), 0);
  EXPECT_NE(ssh_remove_refusal(path), 0);
  EXPECT_FALSE(ssh_remove_file(path));
  EXPECT_NE(ssh_rmdir_refusal(path), 0);
  EXPECT_FALSE(ssh_mkdir_p(path));  // asks whether it exists, then tries to make it
  EXPECT_FALSE(ssh_rename(path, L"acct:/y"));
  EXPECT_EQ(copy_ssh_to_ssh(path, L"acct:/y"), CopyResult::Failed);
  EXPECT_EQ(log.count(LogLevel::Error, "ssh_account_not_found_for"), 8u);
  EXPECT_EQ(copy_fs_to_ssh(L"/nonexistent/none", path), CopyResult::Failed);
  EXPECT_EQ(log.count(LogLevel::Error, "local_file_open_error"), 1u);
}

TEST(RemoteStandIn, ReadingOperationsFailForAnAccountThatDoesNotExist) {
  engine_test::LogLines log;
  SyncReport report;
  SyncReportGuard guard(&report);
  std::wstring const path = L"acct:/x";
  std::vector<SshDirEntry> entries;
  EXPECT_FALSE(ssh_list_dir(path, entries));
  EXPECT_EQ(report.errors.size(), 1u);
  EXPECT_FALSE(ssh_link_info(path));
  EXPECT_FALSE(ssh_real_path(path));
  EXPECT_EQ(copy_ssh_to_fs(path, L"/tmp/none"), CopyResult::Failed);
  EXPECT_FALSE(ssh_exists(path));
  EXPECT_EQ(ssh_directory_presence(path), Presence::Unknown);
  EXPECT_FALSE(ssh_room_for(path, false).second);
  EXPECT_EQ(log.count(LogLevel::Error, "ssh_account_not_found_for"), 7u);
}

TEST(RemoteStandIn, FailureReasonIsTakenOnce) {
  ssh_set_failure_reason(Utilities::FilesystemUtil::FileInfoResult::permission_denied);
  EXPECT_EQ(ssh_take_failure_reason(),
            Utilities::FilesystemUtil::FileInfoResult::permission_denied);
  EXPECT_EQ(ssh_take_failure_reason(), 0);
}

}  // namespace
