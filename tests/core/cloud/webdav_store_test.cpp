#include "core/cloud/webdav/WebdavStore.h"

#include <atomic>

#include "core/cloud/http/Request.h"
#include "core/run/RunContext.h"
#include "utilities/FileTime.h"
#include "webdav_fixture.h"

namespace cloud_test {
namespace {

using namespace KVO_Core;
using test_support::read_file;
using Utilities::FilesystemUtil::FileInfoResult;

std::int64_t unix_mtime(fs::path const& p) {
  return Utilities::file_time::to_time_t(fs::last_write_time(p));
}

TEST_F(WebdavTest, EveryOperationOnAwkwardNames) {
  SshAccount const a = account();
  fs::path const payload = local_file("payload", 1000);
  std::string const names[] = {"a b", "x#y", "50%", "a+b", "caf\xc3\xa9", "\xf0\x9f\x98\x80"};
  for (std::string const& name : names) {
    SCOPED_TRACE(name);
    std::string const folder = "/top " + name;
    webdav::make_directory(a, folder);
    webdav::make_directory(a, folder);  // already there
    ASSERT_TRUE(fs::is_directory(server.root() / ("top " + name)));
    ASSERT_EQ(webdav::upload(payload, a, folder + "/" + name), CopyResult::Done);
    EXPECT_EQ(read_file(server.root() / ("top " + name) / name), read_file(payload));

    std::optional<webdav::Entry> const file = webdav::stat(a, folder + "/" + name);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->name, name);
    EXPECT_FALSE(file->is_dir);
    EXPECT_EQ(file->size, 1000u);
    EXPECT_EQ(file->mtime, unix_mtime(server.root() / ("top " + name) / name));
    std::optional<webdav::Entry> const folder_entry = webdav::stat(a, folder);
    ASSERT_TRUE(folder_entry);
    EXPECT_TRUE(folder_entry->is_dir);

    std::vector<webdav::Entry> const listed = webdav::list(a, folder);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0], *file);

    fs::path const back = dir / "back";
    ASSERT_EQ(webdav::download(a, folder + "/" + name, back), CopyResult::Done);
    EXPECT_EQ(read_file(back), read_file(payload));
    EXPECT_EQ(unix_mtime(back), file->mtime);

    webdav::move(a, folder + "/" + name, folder + "/" + name + " moved");
    EXPECT_FALSE(webdav::stat(a, folder + "/" + name));
    EXPECT_TRUE(webdav::stat(a, folder + "/" + name + " moved"));
    webdav::remove(a, folder + "/" + name + " moved");
    webdav::remove(a, folder);
    EXPECT_FALSE(fs::exists(server.root() / ("top " + name)));
  }
  EXPECT_FALSE(webdav::stat(a, "/never there"));
}

TEST_F(WebdavTest, SizesArriveByteIdenticalBothWays) {
  SshAccount const a = account();
  for (std::size_t const size : {std::size_t{0}, std::size_t{16} << 20, (std::size_t{16} << 20) + 1,
                                 std::size_t{40} << 20}) {
    SCOPED_TRACE(size);
    std::string const name = "f" + std::to_string(size);
    fs::path const source = local_file(name, size);
    ASSERT_EQ(webdav::upload(source, a, name), CopyResult::Done);
    EXPECT_TRUE(read_file(server.root() / name) == read_file(source));
    EXPECT_EQ(webdav::stat(a, name)->size, size);
    fs::path const back = dir / "back" / name;
    fs::create_directories(back.parent_path());
    ASSERT_EQ(webdav::download(a, name, back), CopyResult::Done);
    EXPECT_EQ(fs::file_size(back), size);
    EXPECT_TRUE(read_file(back) == read_file(source));
    EXPECT_EQ(unix_mtime(back), unix_mtime(server.root() / name));
  }
}

TEST_F(WebdavTest, FolderAddressAnsweredByARedirectStillStats) {
  SshAccount const a = account("dav301");
  webdav::make_directory(a, "docs");
  std::optional<webdav::Entry> const entry = webdav::stat(a, "docs");
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry->is_dir);
  EXPECT_EQ(entry->name, "docs");
  EXPECT_TRUE(webdav::list(a, "docs").empty());
}

TEST_F(WebdavTest, ListingHoldsOnlyDirectChildrenWithPlainNames) {
  SshAccount const a = account();
  test_support::write_file(server.root() / "box" / "one", "1");
  test_support::write_file(server.root() / "box" / "back\\slash", "2");
  test_support::write_file(server.root() / "box" / "sub" / "deep", "3");
  server.adopt();
  std::vector<webdav::Entry> listed = webdav::list(a, "box");
  std::sort(listed.begin(), listed.end(),
            [](auto const& x, auto const& y) { return x.name < y.name; });
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].name, "one");
  EXPECT_EQ(listed[0].size, 1u);
  EXPECT_EQ(listed[1].name, "sub");
  EXPECT_TRUE(listed[1].is_dir);
  EXPECT_EQ(reason_of_call([&] { webdav::list(a, "missing"); }), FileInfoResult::file_not_exist);
}

TEST_F(WebdavTest, RefusalsKeepWhatIsThere) {
  SshAccount const a = account();
  test_support::write_file(server.root() / "old", "old content");
  test_support::write_file(server.root() / "new", "new content");
  server.adopt();
  // A move never replaces an existing name.
  EXPECT_NE(reason_of_call([&] { webdav::move(a, "new", "old"); }), 0);
  EXPECT_EQ(read_file(server.root() / "old"), "old content");
  EXPECT_EQ(read_file(server.root() / "new"), "new content");
  // A file where a folder is wanted (Apache answers the folder address of a file with 400).
  EXPECT_NE(reason_of_call([&] { webdav::make_directory(a, "old"); }), 0);
  EXPECT_EQ(read_file(server.root() / "old"), "old content");

  SshAccount wrong = a;
  wrong.set_password("not the password");
  EXPECT_EQ(reason_of_call([&] { webdav::stat(wrong, "old"); }),
            FileInfoResult::authentication_failed);
  EXPECT_EQ(reason_of_call([&] { webdav::upload(dir / "nothing", a, "x"); }),
            FileInfoResult::unknown_error);

  // A base address that would send the password in clear goes nowhere.
  SshAccount clear = a;
  clear.url = "http://127.0.0.1:" + std::to_string(server.port()) + "@example.org/dav/";
  EXPECT_EQ(reason_of_call([&] { webdav::stat(clear, "old"); }), FileInfoResult::unknown_error);
}

TEST_F(WebdavTest, StopRequestCancelsTransfersQuietly) {
  SshAccount const a = account();
  fs::path const source = local_file("big", 8 << 20);
  std::atomic<bool> stop{true};
  {
    RunContext::StopOverride const stopped(stop);
    EXPECT_EQ(webdav::upload(source, a, "big"), CopyResult::Cancelled);
  }
  EXPECT_FALSE(fs::exists(server.root() / "big"));
  ASSERT_EQ(webdav::upload(source, a, "big"), CopyResult::Done);
  RunContext::StopOverride const stopped(stop);
  EXPECT_EQ(webdav::download(a, "big", dir / "back"), CopyResult::Cancelled);
}

TEST_F(WebdavTest, ServerThatKeepsTheTimeSaysSo) {
  // Apache keeps no time either way; the view only adds the answer line that says it did.
  fs::path const source = local_file("f", 10);
  EXPECT_EQ(webdav::upload(source, account("davoc"), "f"), CopyResult::Done);
  EXPECT_EQ(webdav::upload(source, account("dav"), "g"), CopyResult::Done);
}

class WebdavHttpsTest : public WebdavTest {
 protected:
  WebdavHttpsTest() : WebdavTest(true) {}
};

TEST_F(WebdavHttpsTest, TrustsOnlyTheConfiguredAuthorityAndSendsNothingToOthers) {
  SshAccount const a = account();
  fs::path const source = local_file("f", 100000);
  EXPECT_EQ(reason_of_call([&] { webdav::upload(source, a, "f"); }),
            FileInfoResult::server_not_trusted);
  EXPECT_FALSE(fs::exists(server.root() / "f"));
  EXPECT_EQ(read_file(dir / "server" / "access.log"), "");

  http::set_ca_file((dir / "server" / "ca.pem").string());
  ASSERT_EQ(webdav::upload(source, a, "f"), CopyResult::Done);
  EXPECT_EQ(read_file(server.root() / "f"), read_file(source));
  EXPECT_EQ(webdav::working_address(a),
            "https://127.0.0.1:" + std::to_string(server.port()) + "/dav");
}

}  // namespace
}  // namespace cloud_test
