// What the SFTP back end reads from the loopback sshd: listings, link details, real paths,
// read-only file systems, free room, and the inspector the reachability check uses.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "../sync/engine_fixture.h"
#include "core/config/RemotePaths.h"
#include "core/remote/SshSessionScope.h"
#include "core/run/SyncReport.h"
#include "remote_fixture.h"
#include "support/scoped_mount.h"

namespace {

using namespace KVO_Core;
using namespace remote_test;
using Utilities::LogLevel;
using Utilities::FilesystemUtil::FileInfoResult;

class Inspect : public RemoteTest {
 protected:
  void SetUp() override {
    RemoteTest::SetUp();
    add(key_account("nas"));
  }
  std::wstring at(fs::path const& p) const { return remote("nas", p); }
};

TEST_F(Inspect, ListingsTellEveryKindWithoutFollowingLinks) {
  fs::path const d = data.path() / "d";
  test_support::write_file(d / "file", "12345");
  fs::create_directory(d / "folder");
  fs::create_symlink("folder", d / "link_to_folder");
  fs::create_symlink("nowhere", d / "dangling");
  ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
  test_support::write_file(d / "back\\slash", "");
  test_support::write_file(d / "bad\xff", "");
  SyncReport report;
  SyncReportGuard guard(&report);
  engine_test::LogLines log;
  std::vector<SshDirEntry> entries;
  EXPECT_TRUE(ssh_list_dir(at(d), entries));
  std::map<std::wstring, SshDirEntry> by_name;
  for (auto const& e : entries) by_name[e.name] = e;
  struct Case {
    std::wstring name;
    bool dir, file, link;
  } const cases[] = {{L"file", false, true, false},
                     {L"folder", true, false, false},
                     {L"link_to_folder", false, false, true},
                     {L"dangling", false, false, true},
                     {L"fifo", false, false, false}};
  for (Case const& c : cases) {
    ASSERT_TRUE(by_name.count(c.name)) << Utilities::util::wstring_to_string(c.name);
    SshDirEntry const& e = by_name[c.name];
    EXPECT_EQ(std::tuple(e.is_dir, e.is_file, e.is_link), std::tuple(c.dir, c.file, c.link))
        << Utilities::util::wstring_to_string(c.name);
  }
  EXPECT_EQ(by_name[L"file"].size, 5u);
  // A backslash is no plain name; a name that is not UTF-8 is left out with a hint.
  EXPECT_EQ(entries.size(), 5u);
  EXPECT_EQ(log.count(LogLevel::Error, "remote_entry_name_rejected"), 1u);
  EXPECT_EQ(report.errors.size(), 0u);
  EXPECT_TRUE(ssh_is_directory(at(d / "link_to_folder")));
  EXPECT_FALSE(ssh_is_directory(at(d / "file")));
  EXPECT_TRUE(ssh_exists(at(d / "file")));
  EXPECT_FALSE(ssh_exists(at(d / "missing")));
}

TEST_F(Inspect, LinkInfoAndRealPaths) {
  fs::path const d = data.path();
  test_support::write_file(d / "file", "x");
  fs::create_directory(d / "folder");
  fs::create_symlink("folder", d / "to_folder");
  fs::create_symlink("gone", d / "dangling");
  auto info = [&](char const* name) { return ssh_link_info(at(d / name)); };
  auto const file = info("file");
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->exists && !file->is_link && !file->is_dir && file->resolves);
  auto const folder = info("folder");
  ASSERT_TRUE(folder);
  EXPECT_TRUE(folder->is_dir);
  auto const link = info("to_folder");
  ASSERT_TRUE(link);
  EXPECT_TRUE(link->is_link && link->target_is_dir && link->resolves && !link->is_dir);
  EXPECT_EQ(link->target, L"folder");
  auto const dangling = info("dangling");
  ASSERT_TRUE(dangling);
  EXPECT_TRUE(dangling->exists && dangling->is_link && !dangling->resolves);
  EXPECT_EQ(dangling->target, L"gone");
  auto const missing = info("missing");
  ASSERT_TRUE(missing);
  EXPECT_FALSE(missing->exists);

  EXPECT_EQ(ssh_real_path(at(d / "to_folder")), Utilities::from_path(fs::canonical(d / "folder")));
  EXPECT_FALSE(ssh_real_path(at(d / "missing")));
  EXPECT_FALSE(ssh_real_path(L"nobody:/x"));
}

TEST_F(Inspect, PermissionDeniedAndTheInspector) {
  fs::path const closed = data.path() / "closed";
  test_support::write_file(closed / "inside", "x");
  ::chmod(closed.c_str(), 0700);
  test_support::open_for_everyone(data.path(), data.path());
  add(password_account("pw", SftpServer::password()));
  SyncReport report;
  SyncReportGuard guard(&report);
  ssh_take_failure_reason();
  std::vector<SshDirEntry> entries;
  EXPECT_FALSE(ssh_list_dir(remote("pw", closed), entries));
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::permission_denied);

  SshFileInspector inspector(password_account("pw", SftpServer::password()));
  test_support::write_file(data.path() / "seen", "abc");
  SshFileInfo const seen = inspector.inspect_file((data.path() / "seen").string());
  EXPECT_TRUE(seen.exists);
  EXPECT_EQ(seen.size, 3u);
  EXPECT_EQ(seen.mtime, static_cast<std::int64_t>(Utilities::file_time::to_time_t(
                            fs::last_write_time(data.path() / "seen"))));
  EXPECT_FALSE(inspector.inspect_file((data.path() / "none").string()).exists);
  try {
    inspector.inspect_file((closed / "inside").string());
    ADD_FAILURE() << "a refused stat was taken for an answer";
  } catch (std::runtime_error const& e) {
    EXPECT_NE(std::string(e.what()).find("3): "), std::string::npos) << e.what();
  }
}

TEST_F(Inspect, HostileListingsAreSkipped) {
  server.set_shim_mode("hostile");
  add(key_account("shim", server.shim_port()));
  fs::path const d = data.path() / "d";
  for (char const* name :
       {"hostile-dot", "hostile-dotdot", "hostile-empty", "hostile-slash", "fine"})
    test_support::write_file(d / name, "x");
  engine_test::LogLines log;
  std::vector<SshDirEntry> entries;
  EXPECT_TRUE(ssh_list_dir(remote("shim", d), entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, L"fine");
  EXPECT_EQ(log.count(LogLevel::Error, "remote_entry_name_rejected"), 2u);
}

TEST_F(Inspect, FailedListingsSayThatTheyFailed) {
  SyncReport report;
  SyncReportGuard guard(&report);
  std::vector<SshDirEntry> entries;
  EXPECT_FALSE(ssh_list_dir(at(data.path() / "missing"), entries));
  EXPECT_FALSE(ssh_list_dir(L"nobody:/x", entries));
  SshAccount closed = key_account("closed", 1);
  add(closed);
  EXPECT_FALSE(ssh_list_dir(remote("closed", data.path()), entries));
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::server_connect_failed);
  EXPECT_EQ(ssh_directory_presence(remote("closed", data.path())), Presence::Unknown);
  EXPECT_EQ(ssh_directory_presence(at(data.path() / "missing")), Presence::Absent);
  EXPECT_EQ(ssh_directory_presence(at(data.path())), Presence::Present);
}

TEST_F(Inspect, AStalledServerIsLeftForANewSession) {
  server.set_shim_mode("stall");
  add(key_account("shim", server.shim_port()));
  SyncReport report;
  SyncReportGuard guard(&report);
  SshSessionScope scope;
  std::vector<SshDirEntry> entries;
  auto const started = std::chrono::steady_clock::now();
  EXPECT_FALSE(ssh_list_dir(remote("shim", data.path()), entries));
  server.set_shim_mode("pass");
  EXPECT_TRUE(ssh_list_dir(remote("shim", data.path()), entries));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(40));
}

// A small file system of the test's own, seen by the server started after it was mounted, so
// that nothing else changes its room meanwhile.
class InspectOnTmpfs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mount.ok()) << mount.error();
    server = std::make_unique<SftpServer>(top.path() / "server");
    ASSERT_TRUE(server->started());
    Config::instance()->add(root_account("small", *server), true);
  }
  std::wstring at(std::string const& relative) const {
    return Utilities::util::string_to_wstring("small:" + (mount.path() / relative).string());
  }

  test_support::TempDir top;
  test_support::ScopedTmpfs mount{top.path() / "m", "size=4m"};
  test_support::TempDir home;
  test_support::ScopedEnv home_env{"HOME", home.path().c_str()};
  std::unique_ptr<SftpServer> server;
};

// An upload is staged beside the old target, which keeps its room until the new one is whole.
TEST_F(InspectOnTmpfs, RoomIsTheFreeSpaceEvenWhenTheOldTargetIsOverwritten) {
  test_support::write_file(mount.path() / "old", std::string(100000, 'x'));
  struct statvfs st {};
  ASSERT_EQ(::statvfs(mount.path().c_str(), &st), 0);
  std::uint64_t const free_now = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
  EXPECT_EQ(ssh_room_for(at("old"), true), std::pair(free_now, true));
  EXPECT_EQ(ssh_room_for(at("old"), false), std::pair(free_now, true));
  EXPECT_EQ(ssh_room_for(at("new"), false), std::pair(free_now, true));
  EXPECT_FALSE(ssh_room_for(L"nobody:/x", false).second);
}

TEST_F(InspectOnTmpfs, AReadOnlyMountIsSeenFromItsNearestExistingFolder) {
  EXPECT_FALSE(ssh_read_only_filesystem(at("a/b/c")));
  ASSERT_TRUE(mount.remount("ro"));
  EXPECT_TRUE(ssh_read_only_filesystem(at("a/b/c")));
  EXPECT_FALSE(ssh_read_only_filesystem(
      Utilities::util::string_to_wstring("small:" + (top.path() / "server").string())));
}

TEST(Dispatch, PathsAndWebStores) {
  struct Case {
    std::string in, out;
  } const cases[] = {
      {"C:\\a\\b", "/C:/a/b"}, {"\\a", "/a"}, {"C", "C"}, {"/x/y", "/x/y"}, {"", ""}};
  for (Case const& c : cases) EXPECT_EQ(win_to_sftp_path(c.in), c.out) << c.in;

  SshAccount web;
  web.set_name("dav");
  web.url = "https://example.invalid/dav";
  Config::instance()->add(web, true);
  engine_test::LogLines log;
  SyncReport report;
  SyncReportGuard guard(&report);
  EXPECT_FALSE(ssh_keeps_links(L"dav:/x"));
  EXPECT_TRUE(ssh_keeps_links(L"nobody:/x"));
  // The web store is asked, not the SFTP back end: its host does not resolve.
  EXPECT_FALSE(ssh_exists(L"dav:/x"));
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::network_unavailable);
  EXPECT_TRUE(ssh_list_dir(L"dav:/x").empty());
  EXPECT_EQ(copy_ssh_to_fs(L"dav:/x", L"/nonexistent/y"), CopyResult::Failed);
  EXPECT_EQ(ssh_create_link(L"t", L"dav:/x"), FileInfoResult::links_not_supported);
  EXPECT_FALSE(ssh_room_for(L"dav:/x", false).second);
  SshFileInspector inspector{web};
  EXPECT_THROW(inspector.inspect_file("/x"), SshUnreachable);
  // Out of reach: a warning each; the local file that cannot be made: an error.
  EXPECT_EQ(log.count(LogLevel::Warning, "WebDAV: dav:/x: "), 2u);
  EXPECT_EQ(log.count(LogLevel::Error, "WebDAV: dav:/x: "), 1u);
}

}  // namespace
