#include <chrono>

#include "core/cloud/webdav/WebdavStore.h"
#include "support/hostile_http.h"
#include "webdav_fixture.h"

namespace cloud_test {
namespace {

using namespace KVO_Core;
using test_support::HostileHttp;
using test_support::read_file;
using Utilities::FilesystemUtil::FileInfoResult;

std::string address(std::uint16_t port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/dav/";
}

// Each hostile answer ends in one refusal, well before its end and without holding it whole.
TEST_F(WebdavTest, HostileAnswersAreRefusedWithBoundedMemoryAndTime) {
  for (std::string const mode : {"deep", "huge", "endless"}) {
    SCOPED_TRACE(mode);
    HostileHttp const hostile(dir / "hostile", mode);
    ASSERT_TRUE(hostile.started());
    SshAccount a = account();
    a.url = address(hostile.port());
    auto const start = std::chrono::steady_clock::now();
    EXPECT_EQ(reason_of_call([&] { webdav::list(a, "docs"); }), FileInfoResult::unknown_error);
    EXPECT_EQ(reason_of_call([&] { webdav::stat(a, "docs"); }), FileInfoResult::unknown_error);
    // Far below an endless answer's end, with room for a sanitizer build on a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120));
  }
}

TEST_F(WebdavTest, BusyAndRefusingServersGiveTheirReasons) {
  fs::path const source = local_file("f", 1000);
  for (std::string const view : {"busy", "limited"}) {
    SCOPED_TRACE(view);
    EXPECT_EQ(reason_of_call([&] { webdav::list(account(view), ""); }),
              FileInfoResult::server_unavailable);
    EXPECT_EQ(reason_of_call([&] { webdav::upload(source, account(view), "f"); }),
              FileInfoResult::server_unavailable);
  }
  EXPECT_EQ(reason_of_call([&] { webdav::upload(source, account(), "x-refuse-500"); }),
            FileInfoResult::unknown_error);
  EXPECT_FALSE(fs::exists(server.root() / "x-refuse-500"));
  EXPECT_EQ(webdav::upload(source, account(), "f"), CopyResult::Done);
}

TEST_F(WebdavTest, ConnectionResetMidUploadLeavesTheOldFile) {
  test_support::write_file(server.root() / "kept", "the old content");
  server.adopt();
  HostileHttp const relay(dir / "hostile", "reset", server.port(), 3 << 20);
  ASSERT_TRUE(relay.started());
  SshAccount a = account();
  a.url = address(relay.port());
  fs::path const source = local_file("new", 8 << 20);
  int const reason = reason_of_call([&] { webdav::upload(source, a, "kept"); });
  EXPECT_TRUE(reason == FileInfoResult::connection_lost || reason == FileInfoResult::unknown_error)
      << reason;
  EXPECT_EQ(read_file(server.root() / "kept"), "the old content");
}

}  // namespace
}  // namespace cloud_test
