// Uploads and remote copies to the loopback sshd: byte-identical at the sizes where chunks and
// the request window turn over; the old target stays whole beside the staging file until the
// new one is complete, also on a server without posix-rename; a stop, a killed server, a full
// disk or a read-only server leave the old target as it was and no staging file; rights and
// times arrive, clamped where the protocol cannot carry them; the rate limit holds.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <set>

#include "../sync/engine_fixture.h"
#include "core/remote/SshSessionScope.h"
#include "core/run/SyncReport.h"
#include "remote_fixture.h"
#include "support/scoped_mount.h"

namespace {

using namespace KVO_Core;
using namespace remote_test;
using Utilities::FilesystemUtil::FileInfoResult;

constexpr std::size_t chunk = 65536;

class Upload : public RemoteTest, public ::testing::WithParamInterface<char const*> {
 protected:
  void SetUp() override {
    RemoteTest::SetUp();
    // "plain" hides the extensions that rename over a file and make hard links.
    add_through_shim(GetParam());
    fs::create_directories(local_dir);
    fs::create_directories(server_side);
  }
  std::wstring local(std::string const& name) const {
    return Utilities::from_path(local_dir / name);
  }

  engine_test::Running running;
  SshSessionScope sessions;  // one session per account, as in a pass
  fs::path const local_dir = data.path() / "local";
  fs::path const server_side = data.path() / "server";
};

TEST_P(Upload, EverySizeReplacesTheOldTargetOnlyWhenComplete) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, chunk - 1, chunk, chunk + 1,
                           16 * chunk - 1, 16 * chunk, 16 * chunk + 1, std::size_t{5 << 20}}) {
    std::string const name = "f" + std::to_string(size);
    fs::path const target = server_side / name;
    std::string const old = random_bytes(100000, 7);
    test_support::write_file(target, old);
    test_support::write_file(local_dir / name, random_bytes(size));
    engine_test::RecordingSink sink;
    bool staged_beside_old = false;
    sink.on_bytes = [&](std::uint64_t) {
      if (staged_beside_old) return;
      staged_beside_old =
          fs::exists(server_side / (name + ".kvo-part")) && test_support::read_file(target) == old;
    };
    ASSERT_EQ(copy_fs_to_ssh(local(name), remote("nas", target)), CopyResult::Done) << size;
    EXPECT_TRUE(test_support::read_file(target) == test_support::read_file(local_dir / name))
        << size;
    EXPECT_TRUE(size == 0 || staged_beside_old) << size;
  }
  EXPECT_EQ(names_in(server_side).size(), 9u) << "staging or aside files left behind";
}

TEST_P(Upload, ANewTargetAndARemoteCopyArriveWithRightsAndTime) {
  test_support::write_file(local_dir / "a", random_bytes(300000));
  ::chmod((local_dir / "a").c_str(), 0640);
  fs::last_write_time(local_dir / "a", engine_test::at(0));
  ASSERT_EQ(copy_fs_to_ssh(local("a"), remote("nas", server_side / "a")), CopyResult::Done);
  ASSERT_EQ(copy_ssh_to_ssh(remote("nas", server_side / "a"), remote("nas", server_side / "b")),
            CopyResult::Done);
  for (char const* name : {"a", "b"}) {
    fs::path const p = server_side / name;
    EXPECT_TRUE(test_support::read_file(p) == test_support::read_file(local_dir / "a")) << name;
    EXPECT_EQ(fs::status(p).permissions(), fs::perms(0640)) << name;
    EXPECT_EQ(Utilities::file_time::to_time_t(fs::last_write_time(p)), engine_test::T0) << name;
  }
  EXPECT_EQ(names_in(server_side), (std::set<std::string>{"a", "b"}));
}

TEST_P(Upload, AStopEndsItWithinOneChunkAndKeepsTheOldTarget) {
  test_support::write_file(local_dir / "big", random_bytes(4 << 20));
  fs::path const target = server_side / "big";
  test_support::write_file(target, "old contents");
  std::atomic<bool> stop{false};
  RunContext::StopOverride override(stop);
  engine_test::RecordingSink sink;
  std::uint64_t seen_at_stop = 0;
  sink.on_bytes = [&](std::uint64_t bytes) {
    if (bytes >= 200000 && !stop) {
      seen_at_stop = bytes;
      stop = true;
    }
  };
  EXPECT_EQ(copy_fs_to_ssh(local("big"), remote("nas", target)), CopyResult::Cancelled);
  EXPECT_EQ(sink.last_bytes.load(), seen_at_stop);
  EXPECT_EQ(test_support::read_file(target), "old contents");
  EXPECT_EQ(names_in(server_side), std::set<std::string>{"big"});
}

TEST_P(Upload, AKilledServerKeepsTheOldTargetAndTheNextUploadCompletes) {
  test_support::write_file(local_dir / "big", random_bytes(8 << 20));
  fs::path const target = server_side / "big";
  test_support::write_file(target, "old contents");
  {
    engine_test::RecordingSink sink;
    sink.on_bytes = [&](std::uint64_t bytes) {
      if (bytes >= 1000000 && bytes < 1000000 + chunk) server.kill_connections();
    };
    ssh_take_failure_reason();
    EXPECT_EQ(copy_fs_to_ssh(local("big"), remote("nas", target)), CopyResult::Failed);
    EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::connection_lost);
  }
  EXPECT_EQ(test_support::read_file(target), "old contents");
  EXPECT_EQ(names_in(server_side), std::set<std::string>{"big"});
  ASSERT_EQ(copy_fs_to_ssh(local("big"), remote("nas", target)), CopyResult::Done);
  EXPECT_TRUE(test_support::read_file(target) == test_support::read_file(local_dir / "big"));
}

// What a broken transfer or someone else left under the staging name is cleared first; nothing
// is written through a link found there.
TEST_P(Upload, AStagingNameInTheWayIsClearedAndNeverWrittenThrough) {
  fs::path const victim = data.path() / "victim";
  test_support::write_file(victim, "keep");
  test_support::write_file(local_dir / "new", random_bytes(70000));
  struct Case {
    char const* name;
    std::function<void(fs::path const&)> plant;
  };
  std::vector<Case> const cases = {
      {"stale", [](fs::path const& part) { test_support::write_file(part, "stale bytes"); }},
      {"link", [&](fs::path const& part) { fs::create_symlink(victim, part); }},
      {"dangling",
       [&](fs::path const& part) { fs::create_symlink(data.path() / "nowhere", part); }},
  };
  for (Case const& c : cases) {
    fs::path const target = server_side / c.name;
    c.plant(server_side / (std::string(c.name) + ".kvo-part"));
    ASSERT_EQ(copy_fs_to_ssh(local("new"), remote("nas", target)), CopyResult::Done) << c.name;
    EXPECT_TRUE(test_support::read_file(target) == test_support::read_file(local_dir / "new"))
        << c.name;
    EXPECT_FALSE(fs::is_symlink(target)) << c.name;
  }
  EXPECT_EQ(test_support::read_file(victim), "keep");
  EXPECT_FALSE(fs::exists(fs::symlink_status(data.path() / "nowhere")));
  EXPECT_EQ(names_in(server_side), (std::set<std::string>{"dangling", "link", "stale"}));
}

INSTANTIATE_TEST_SUITE_P(Servers, Upload, ::testing::Values("pass", "plain"));

TEST_F(RemoteTest, RightsAndTimesAreKeptAndClampedWhereTheProtocolEnds) {
  add(key_account("nas"));
  engine_test::Running running;
  struct Case {
    char const* name;
    mode_t mode;
    std::int64_t mtime;
    fs::perms expected_mode;  // the owner may always write
    std::int64_t expected_mtime;
  } const cases[] = {
      {"rw", 0640, engine_test::T0 + 1, fs::perms(0640), engine_test::T0 + 1},
      {"ro", 0444, engine_test::T0, fs::perms(0644), engine_test::T0},
      {"x", 0751, 86400, fs::perms(0751), 86400},
      {"early", 0600, -86400 * 365, fs::perms(0600), 0},
  };
  for (Case const& c : cases) {
    fs::path const source = data.path() / (std::string(c.name) + ".src");
    test_support::write_file(source, c.name);
    timespec const times[2] = {{c.mtime, 0}, {c.mtime, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
    ::chmod(source.c_str(), c.mode);
    fs::path const target = data.path() / c.name;
    ASSERT_EQ(copy_fs_to_ssh(Utilities::from_path(source), remote("nas", target)), CopyResult::Done)
        << c.name;
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(fs::perms(st.st_mode & 07777), c.expected_mode) << c.name;
    EXPECT_EQ(st.st_mtim.tv_sec, c.expected_mtime) << c.name;
    EXPECT_EQ(st.st_mtim.tv_nsec, 0) << c.name;
  }
}

TEST_F(RemoteTest, AServerThatRefusesAttributesStillGetsTheFileWithReportLines) {
  server.set_shim_mode("nosetstat");
  add(key_account("nas", server.shim_port()));
  engine_test::Running running;
  SyncReport report;
  SyncReportGuard guard(&report);
  fs::path const source = data.path() / "src";
  test_support::write_file(source, "content");
  fs::path const target = data.path() / "dst";
  EXPECT_EQ(copy_fs_to_ssh(Utilities::from_path(source), remote("nas", target)), CopyResult::Done);
  EXPECT_EQ(test_support::read_file(target), "content");
  EXPECT_FALSE(fs::exists(data.path() / "dst.kvo-part"));
  ASSERT_EQ(report.errors.size(), 2u);  // the time, and the rights
  for (std::wstring const& line : report.errors) EXPECT_NE(line.find(L"dst"), std::wstring::npos);
}

TEST_F(RemoteTest, AReadOnlyServerRefusesEveryWriteAndKeepsWhatIsThere) {
  add(key_account("ro", server.read_only_port()));
  engine_test::Running running;
  fs::path const source = data.path() / "src";
  test_support::write_file(source, "new");
  fs::path const target = data.path() / "dst";
  test_support::write_file(target, "old");
  ssh_take_failure_reason();
  EXPECT_EQ(copy_fs_to_ssh(Utilities::from_path(source), remote("ro", target)), CopyResult::Failed);
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::permission_denied);
  EXPECT_EQ(ssh_remove_refusal(remote("ro", target)), FileInfoResult::permission_denied);
  EXPECT_FALSE(ssh_rename(remote("ro", target), remote("ro", data.path() / "moved")));
  EXPECT_FALSE(ssh_mkdir_p(remote("ro", data.path() / "d/e")));
  EXPECT_EQ(test_support::read_file(target), "old");
  EXPECT_EQ(names_in(data.path()), (std::set<std::string>{"dst", "src"}));
}

TEST_F(RemoteTest, RateLimitHoldsForUploadsAndDownloads) {
  add(key_account("nas"));
  engine_test::Running running;
  auto* config = Config::instance();
  auto settings = config->settings.get();
  auto const saved = settings;
  settings.TransferLimitKB = 1024;
  config->settings.set(settings);
  fs::path const source = data.path() / "src";
  test_support::write_file(source, random_bytes(3 << 20));
  auto const timed = [](auto&& copy) {
    auto const start = std::chrono::steady_clock::now();
    EXPECT_EQ(copy(), CopyResult::Done);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  double const up = timed([&] {
    return copy_fs_to_ssh(Utilities::from_path(source), remote("nas", data.path() / "up"));
  });
  double const down = timed([&] {
    return copy_ssh_to_fs(remote("nas", source), Utilities::from_path(data.path() / "d.kvo-part"));
  });
  config->settings.set(saved);
  // 3 MiB at 1 MiB/s: not faster than the limit allows (less 10 %); the upper bound is loose,
  // a shared machine may be slow.
  EXPECT_GE(up, 2.7);
  EXPECT_GE(down, 2.7);
  EXPECT_LT(up, 10.0);
  EXPECT_LT(down, 10.0);
}

// A small file system of the test's own, seen by the server started after it was mounted.
class UploadOnTmpfs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mount.ok()) << mount.error();
    server = std::make_unique<test_support::SftpServer>(top.path() / "server");
    ASSERT_TRUE(server->started());
    Config::instance()->add(root_account("small", *server), true);
  }

  test_support::TempDir top;
  test_support::ScopedTmpfs mount{top.path() / "m", "size=2m"};
  test_support::TempDir home;
  test_support::ScopedEnv home_env{"HOME", home.path().c_str()};
  std::unique_ptr<test_support::SftpServer> server;
  engine_test::Running running;
};

TEST_F(UploadOnTmpfs, AFullDiskFailsWithItsReasonAndKeepsTheOldTarget) {
  std::string const old = random_bytes(500000, 3);
  test_support::write_file(mount.path() / "x", old);
  fs::path const source = top.path() / "src";
  test_support::write_file(source, random_bytes(3 << 20));
  ssh_take_failure_reason();
  EXPECT_EQ(
      copy_fs_to_ssh(Utilities::from_path(source),
                     Utilities::util::string_to_wstring("small:" + (mount.path() / "x").string())),
      CopyResult::Failed);
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::remote_storage_full);
  EXPECT_TRUE(test_support::read_file(mount.path() / "x") == old);
  EXPECT_EQ(names_in(mount.path()), std::set<std::string>{"x"});
}

}  // namespace
