// Copies from one server to another: within one account, between two servers, and through the
// local transfer file; byte-identical where chunks and the request window turn over, also when
// the source answers reads short. The transfer file is private while it exists and gone after
// every outcome; a source that stops answering fails the copy within the time-out and leaves the
// old target whole.
#include <sys/stat.h>

#include <chrono>
#include <set>

#include "../sync/engine_fixture.h"
#include "core/remote/SshSessionScope.h"
#include "core/remote/TransferFile.h"
#include "remote_fixture.h"

namespace {

using namespace KVO_Core;
using namespace remote_test;
using Utilities::FilesystemUtil::FileInfoResult;

constexpr std::size_t chunk = 65536;

mode_t mode_of(fs::path const& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The source is always "nas"; the target is "nas" itself, "far" on a second server, or "far"
// reached through the transfer file. "short" reads the source through the shim that answers
// every read with half the data.
class ServerCopy : public RemoteTest, public ::testing::WithParamInterface<char const*> {
 protected:
  void SetUp() override {
    RemoteTest::SetUp();
    ASSERT_TRUE(other.started()) << "the second loopback sshd did not start";
    std::string const route = GetParam();
    add_through_shim(route == "short" ? "short" : "pass");
    add(root_account("far", other));
    fs::create_directories(from_dir);
    fs::create_directories(to_dir);
  }
  std::wstring target(std::string const& name) const {
    std::string const route = GetParam();
    return remote(route == "one account" ? "nas" : "far", to_dir / name);
  }
  CopyResult copy(std::string const& name) const {
    std::wstring const from = remote("nas", from_dir / name);
    if (std::string(GetParam()) == "transfer file")
      return copy_through_transfer_file(from, target(name));
    return copy_ssh_to_ssh(from, target(name));
  }

  test_support::TempDir other_dir;
  SftpServer other{other_dir.path() / "server"};
  test_support::TempDir tmp;
  test_support::ScopedEnv tmpdir{"TMPDIR", tmp.path().c_str()};
  engine_test::Running running;
  SshSessionScope sessions;
  fs::path const from_dir = data.path() / "from";
  fs::path const to_dir = data.path() / "to";
};

TEST_P(ServerCopy, EverySizeArrivesWholeWithRightsAndTime) {
  std::set<std::string> expected;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, chunk - 1, chunk, chunk + 1,
                           16 * chunk - 1, 16 * chunk, 16 * chunk + 1, std::size_t{5 << 20}}) {
    std::string const name = "f" + std::to_string(size);
    test_support::write_file(from_dir / name, random_bytes(size, 3));
    ::chmod((from_dir / name).c_str(), 0640);
    fs::last_write_time(from_dir / name, engine_test::at(size % 7));
    test_support::write_file(to_dir / name, "an older version");
    ASSERT_EQ(copy(name), CopyResult::Done) << size;
    EXPECT_TRUE(test_support::read_file(to_dir / name) == test_support::read_file(from_dir / name))
        << size;
    EXPECT_EQ(mode_of(to_dir / name), 0640u) << size;
    EXPECT_EQ(fs::last_write_time(to_dir / name), engine_test::at(size % 7)) << size;
    expected.insert(name);
  }
  EXPECT_EQ(names_in(to_dir), expected) << "staging files left behind";
  EXPECT_TRUE(fs::is_empty(tmp.path())) << "a transfer file left behind";
}

TEST_P(ServerCopy, AMissingSourceFailsAndLeavesTheTargetAlone) {
  test_support::write_file(to_dir / "x", "old");
  ssh_take_failure_reason();
  EXPECT_EQ(copy("x"), CopyResult::Failed);
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::file_not_exist);
  EXPECT_EQ(test_support::read_file(to_dir / "x"), "old");
  EXPECT_EQ(names_in(to_dir), std::set<std::string>{"x"});
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

INSTANTIATE_TEST_SUITE_P(Routes, ServerCopy,
                         ::testing::Values("one account", "two servers", "transfer file", "short"));

class TransferFileCopy : public ServerCopy {};

// While the bytes pass through it the file is the owner's alone, in a folder only the owner can
// enter; a stop or a failed upload takes both away as a completed copy does.
TEST_P(TransferFileCopy, IsPrivateWhileItExistsAndGoneAfterEveryOutcome) {
  test_support::write_file(from_dir / "big", random_bytes(3 << 20));
  test_support::write_file(to_dir / "big", "old");
  std::atomic<bool> stop{false};
  RunContext::StopOverride override(stop);
  engine_test::RecordingSink sink;
  std::vector<fs::path> seen;
  bool private_file = true;
  sink.on_bytes = [&](std::uint64_t) {
    for (auto const& folder : fs::directory_iterator(tmp.path())) {
      private_file = private_file && mode_of(folder.path()) == 0700;
      for (auto const& file : fs::directory_iterator(folder.path())) {
        if (seen.empty() || seen.back() != file.path()) seen.push_back(file.path());
        private_file = private_file && mode_of(file.path()) == 0600;
      }
    }
  };
  auto const route = [&] {
    return copy_through_transfer_file(remote("nas", from_dir / "big"),
                                      remote("far", to_dir / "big"));
  };

  // Stopped while downloading: nothing is uploaded.
  sink.on_bytes = [&, check = sink.on_bytes](std::uint64_t bytes) {
    check(bytes);
    if (bytes > 1000000) stop = true;
  };
  EXPECT_EQ(route(), CopyResult::Cancelled);
  EXPECT_EQ(test_support::read_file(to_dir / "big"), "old");
  EXPECT_TRUE(fs::is_empty(tmp.path()));

  // The upload fails: the target's folder is gone.
  stop = false;
  sink.on_bytes = [&](std::uint64_t) {};
  EXPECT_EQ(copy_through_transfer_file(remote("nas", from_dir / "big"),
                                       remote("far", to_dir / "missing/big")),
            CopyResult::Failed);
  EXPECT_TRUE(fs::is_empty(tmp.path()));

  ASSERT_FALSE(seen.empty()) << "no transfer file seen during the copy";
  EXPECT_TRUE(private_file) << "the transfer file or its folder was open to others";
  EXPECT_NE(seen.front().filename().string().find("pellimoravin-transfer.tmp"), std::string::npos);
  EXPECT_EQ(seen.front().parent_path().parent_path(), tmp.path()) << "not in TMPDIR";
}

INSTANTIATE_TEST_SUITE_P(Route, TransferFileCopy, ::testing::Values("transfer file"));

// A source server that takes the read requests and never answers them cannot hold the copy
// past the session's time-out; the old target stays, and the next copy from a server that
// answers completes.
TEST_F(RemoteTest, AStalledSourceFailsTheCopyWithinTheTimeOut) {
  test_support::TempDir tmp;
  test_support::ScopedEnv tmpdir{"TMPDIR", tmp.path().c_str()};
  server.set_shim_mode("stall");
  add(key_account("stalled", server.shim_port()));
  add(key_account("nas"));
  engine_test::Running running;
  SshSessionScope sessions;
  test_support::write_file(data.path() / "src", random_bytes(300000));
  test_support::write_file(data.path() / "dst", "old");
  for (bool through_file : {false, true}) {
    auto const started = std::chrono::steady_clock::now();
    std::wstring const from = remote("stalled", data.path() / "src");
    std::wstring const to = remote("nas", data.path() / "dst");
    ssh_take_failure_reason();
    EXPECT_EQ(through_file ? copy_through_transfer_file(from, to) : copy_ssh_to_ssh(from, to),
              CopyResult::Failed);
    EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::connection_lost);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_EQ(test_support::read_file(data.path() / "dst"), "old");
    EXPECT_EQ(names_in(data.path()), (std::set<std::string>{"dst", "src"}));
    EXPECT_TRUE(fs::is_empty(tmp.path()));
  }
  server.set_shim_mode("pass");
  EXPECT_EQ(
      copy_ssh_to_ssh(remote("stalled", data.path() / "src"), remote("nas", data.path() / "dst")),
      CopyResult::Done);
  EXPECT_TRUE(test_support::read_file(data.path() / "dst") ==
              test_support::read_file(data.path() / "src"));
}

}  // namespace
