// Folders, removals, renames and links on the loopback sshd: the reasons that tell the engine
// how far a failure reaches, and renames that never replace what stands at the new name, with
// or without the server's extensions.
#include <sys/stat.h>

#include "../sync/engine_fixture.h"
#include "core/remote/SshSessionScope.h"
#include "remote_fixture.h"

namespace {

using namespace KVO_Core;
using namespace remote_test;
using Utilities::LogLevel;
using Utilities::FilesystemUtil::FileInfoResult;

class FileOps : public RemoteTest, public ::testing::WithParamInterface<char const*> {
 protected:
  void SetUp() override {
    RemoteTest::SetUp();
    add_through_shim(GetParam());
  }
  std::wstring at(std::string const& relative) const {
    return remote("nas", data.path() / relative);
  }
  engine_test::Running running;
  SshSessionScope sessions;  // one session per account, as in a pass
};

TEST_P(FileOps, RenamesNeverReplaceAndMoveFilesFoldersAndLinks) {
  test_support::write_file(data.path() / "a", "A");
  test_support::write_file(data.path() / "b", "B");
  fs::create_directories(data.path() / "d/inner");
  fs::create_directories(data.path() / "e");
  fs::create_symlink("a", data.path() / "l");

  struct Case {
    char const* from;
    char const* to;
    bool moved;
  } const cases[] = {
      {"a", "b", false},  // a file onto a file
      {"d", "e", false},  // a folder onto an empty folder
      {"l", "b", false},  // a link onto a file
      {"a", "c", true},  {"d", "f", true}, {"l", "m", true},
  };
  for (Case const& c : cases) {
    ssh_take_failure_reason();
    EXPECT_EQ(ssh_rename(at(c.from), at(c.to)), c.moved) << c.from << " -> " << c.to;
    if (!c.moved) {
      EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::file_conflict) << c.from;
    }
  }
  EXPECT_EQ(test_support::read_file(data.path() / "b"), "B");
  EXPECT_EQ(test_support::read_file(data.path() / "c"), "A");
  EXPECT_FALSE(fs::exists(data.path() / "a"));
  EXPECT_TRUE(fs::is_directory(data.path() / "f/inner"));
  EXPECT_TRUE(fs::is_directory(data.path() / "e"));
  EXPECT_EQ(fs::read_symlink(data.path() / "m"), "a");

  // A destination written with backslashes is a server path all the same.
  std::wstring const backslashed =
      L"nas:" + Utilities::util::string_to_wstring(data.path().string()) + L"\\g";
  EXPECT_TRUE(ssh_rename(at("c"), backslashed));
  EXPECT_EQ(test_support::read_file(data.path() / "g"), "A");
}

TEST_P(FileOps, FoldersRemovalsAndLinksGiveTheirReasons) {
  engine_test::LogLines log;
  EXPECT_TRUE(ssh_mkdir_p(at("x/y/z")));
  EXPECT_TRUE(fs::is_directory(data.path() / "x/y/z"));
  EXPECT_TRUE(ssh_mkdir_p(at("x/y/z")));  // already there
  EXPECT_FALSE(ssh_mkdir(at("x/y/z")));
  ssh_set_failure_reason(FileInfoResult::disk_full);
  EXPECT_FALSE(ssh_mkdir(at("none/child")));  // a missing parent is not recorded
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::disk_full);

  test_support::write_file(data.path() / "x/y/z/f", "f");
  std::size_t const errors_before = log.count(LogLevel::Error);
  EXPECT_EQ(ssh_remove_refusal(at("gone")), FileInfoResult::file_not_exist);
  EXPECT_EQ(log.count(LogLevel::Error), errors_before) << "a missing file logs nothing";
  EXPECT_EQ(ssh_rmdir_refusal(at("x/y/z")), FileInfoResult::file_info_write_error);  // not empty
  EXPECT_TRUE(ssh_remove_file(at("x/y/z/f")));
  EXPECT_TRUE(ssh_rmdir(at("x/y/z")));
  EXPECT_FALSE(fs::exists(data.path() / "x/y/z"));

  EXPECT_EQ(ssh_create_link(L"../target text", at("x/link")), 0);
  EXPECT_EQ(fs::read_symlink(data.path() / "x/link"), "../target text");
  EXPECT_EQ(ssh_create_link(L"t", at("none/link")), FileInfoResult::file_not_exist);
}

INSTANTIATE_TEST_SUITE_P(Servers, FileOps, ::testing::Values("pass", "plain"));

TEST_F(RemoteTest, ARenameBetweenTwoAccountsIsRefused) {
  add(key_account("one"));
  add(key_account("two"));
  engine_test::Running running;
  test_support::write_file(data.path() / "a", "A");
  ssh_take_failure_reason();
  EXPECT_FALSE(ssh_rename(remote("one", data.path() / "a"), remote("two", data.path() / "b")));
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::unsupported_operation);
  EXPECT_TRUE(fs::exists(data.path() / "a"));
  EXPECT_FALSE(fs::exists(data.path() / "b"));
}

}  // namespace
