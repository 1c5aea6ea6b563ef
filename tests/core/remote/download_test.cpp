// Downloads from the loopback sshd into the engine's staging file: byte-identical at the sizes
// where chunks and the request window turn over, also when the server answers reads short or the
// file is longer or shorter than listed, a stop within one chunk that leaves nothing behind, and
// a session that carries no reply of one file over to the next.
#include <fcntl.h>
#include <sys/stat.h>

#include <optional>

#include "../sync/engine_fixture.h"
#include "core/config/RemotePaths.h"
#include "core/remote/SftpPipeline.h"
#include "core/remote/SshSessionScope.h"
#include "remote_fixture.h"

namespace {

using namespace KVO_Core;
using namespace remote_test;
using Utilities::FilesystemUtil::FileInfoResult;

class Download : public RemoteTest, public ::testing::WithParamInterface<char const*> {
 protected:
  void SetUp() override {
    RemoteTest::SetUp();
    add_through_shim(GetParam());
  }
  engine_test::Running running;
};

TEST_P(Download, EverySizeArrivesByteIdentical) {
  std::size_t const chunk = 65536;
  for (std::size_t size :
       {std::size_t{0}, std::size_t{1}, chunk - 1, chunk, chunk + 1, 16 * chunk - 1, 16 * chunk,
        16 * chunk + 1, std::size_t{5 * 1024 * 1024 + 7}}) {
    fs::path const source = data.path() / ("src" + std::to_string(size));
    test_support::write_file(source, random_bytes(size));
    ::chmod(source.c_str(), 0640);
    fs::last_write_time(source, engine_test::at(0));
    fs::path const staged = data.path() / ("dst" + std::to_string(size) + ".kvo-part");
    ASSERT_EQ(copy_ssh_to_fs(remote("nas", source), Utilities::from_path(staged)), CopyResult::Done)
        << size;
    EXPECT_TRUE(test_support::read_file(staged) == test_support::read_file(source)) << size;
    EXPECT_EQ(fs::status(staged).permissions(), fs::perms(0640)) << size;
    EXPECT_EQ(Utilities::file_time::to_time_t(fs::last_write_time(staged)), engine_test::T0);
  }
}

TEST_P(Download, AStopEndsItWithinOneChunkAndLeavesNoStagingFile) {
  fs::path const source = data.path() / "big";
  test_support::write_file(source, random_bytes(4 * 1024 * 1024));
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
  fs::path const staged = data.path() / "big.kvo-part";
  EXPECT_EQ(copy_ssh_to_fs(remote("nas", source), Utilities::from_path(staged)),
            CopyResult::Cancelled);
  EXPECT_EQ(sink.last_bytes.load(), seen_at_stop);
  EXPECT_FALSE(fs::exists(fs::symlink_status(staged)));
}

// libssh keeps a reply nobody waits for in the session's queue for good: a long pass would slow
// down and grow with every file.
bool queue_empty(SftpConnection const& connection) {
  return connection.sftp() && connection.sftp()->queue == nullptr;
}

TEST_P(Download, EveryReplyIsTakenSoNothingIsLeftForTheNextFile) {
  SshSessionScope scope;
  std::size_t const chunk = 65536;
  for (std::size_t size :
       {std::size_t{0}, std::size_t{1}, std::size_t{4000}, chunk + 1, 16 * chunk + 1}) {
    fs::path const source = data.path() / ("src" + std::to_string(size));
    test_support::write_file(source, random_bytes(size));
    fs::path const staged = data.path() / ("dst" + std::to_string(size) + ".kvo-part");
    ASSERT_EQ(copy_ssh_to_fs(remote("nas", source), Utilities::from_path(staged)), CopyResult::Done)
        << size;
    EXPECT_TRUE(test_support::read_file(staged) == test_support::read_file(source)) << size;
    SftpConnection pooled;
    pooled.connect(*get_account_from_path(remote("nas", source)));
    EXPECT_TRUE(queue_empty(pooled)) << size;
  }

  // A stop midway: the session that stays in use owes nothing either.
  fs::path const big = data.path() / "big";
  test_support::write_file(big, random_bytes(4 * 1024 * 1024));
  std::atomic<bool> stop{false};
  {
    RunContext::StopOverride override(stop);
    engine_test::RecordingSink sink;
    sink.on_bytes = [&](std::uint64_t bytes) {
      if (bytes >= 200000) stop = true;
    };
    EXPECT_EQ(copy_ssh_to_fs(remote("nas", big), Utilities::from_path(data.path() / "b.kvo-part")),
              CopyResult::Cancelled);
  }
  SftpConnection after;
  after.connect(*get_account_from_path(remote("nas", big)));
  EXPECT_TRUE(queue_empty(after));
}

// The size a file was listed with only shapes the read-ahead: a file that grew or shrank since
// arrives as it is now, to its real end.
TEST_P(Download, ReadsToTheRealEndWhateverSizeWasListed) {
  SshSessionScope scope;
  std::size_t const size = 3 * 65536 + 5;
  fs::path const source = data.path() / "src";
  std::string const bytes = random_bytes(size);
  test_support::write_file(source, bytes);
  SftpConnection connection;
  connection.connect(*get_account_from_path(remote("nas", source)));
  for (std::optional<std::uint64_t> listed :
       {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{0},
        std::optional<std::uint64_t>{1}, std::optional<std::uint64_t>{size / 2},
        std::optional<std::uint64_t>{size - 1}, std::optional<std::uint64_t>{size},
        std::optional<std::uint64_t>{size + 1}, std::optional<std::uint64_t>{20 * size}}) {
    SCOPED_TRACE(listed ? std::to_string(*listed) : "none");
    SftpFileHandle const file = connection.open(source.string(), O_RDONLY, 0);
    ASSERT_TRUE(file);
    std::string got;
    {
      sftp_backend::ReadPipeline pipeline(connection, file.get(), listed);
      std::vector<char> buffer(sftp_backend::chunk_size);
      for (;;) {
        ssize_t const n = pipeline.next(buffer);
        ASSERT_GE(n, 0);
        if (n == 0) break;
        got.append(buffer.data(), static_cast<std::size_t>(n));
      }
    }
    EXPECT_TRUE(got == bytes) << got.size();
    EXPECT_TRUE(queue_empty(connection));
  }
}

INSTANTIATE_TEST_SUITE_P(Replies, Download, ::testing::Values("pass", "short"));

TEST_F(RemoteTest, DownloadsNeverWriteThroughALinkOrOverAFile) {
  add(key_account("nas"));
  fs::path const source = data.path() / "src";
  test_support::write_file(source, "payload");
  fs::path const victim = data.path() / "victim";
  test_support::write_file(victim, "keep");
  fs::create_symlink(victim, data.path() / "linked.kvo-part");
  test_support::write_file(data.path() / "there.kvo-part", "old");
  EXPECT_EQ(
      copy_ssh_to_fs(remote("nas", source), Utilities::from_path(data.path() / "linked.kvo-part")),
      CopyResult::Failed);
  EXPECT_EQ(
      copy_ssh_to_fs(remote("nas", source), Utilities::from_path(data.path() / "there.kvo-part")),
      CopyResult::Failed);
  EXPECT_EQ(test_support::read_file(victim), "keep");
  EXPECT_EQ(test_support::read_file(data.path() / "there.kvo-part"), "old");
  ssh_take_failure_reason();
  EXPECT_EQ(copy_ssh_to_fs(remote("nas", data.path() / "missing"),
                           Utilities::from_path(data.path() / "m.kvo-part")),
            CopyResult::Failed);
  EXPECT_EQ(ssh_take_failure_reason(), FileInfoResult::file_not_exist);
  EXPECT_FALSE(fs::exists(data.path() / "m.kvo-part"));
}

}  // namespace
