// Downloads from the loopback sshd into the engine's staging file: byte-identical at the sizes
// where chunks and the request window turn over, also when the server answers reads short, and
// a stop within one chunk that leaves nothing behind.
#include <sys/stat.h>

#include "../sync/engine_fixture.h"
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
