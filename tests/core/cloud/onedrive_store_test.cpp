// The OneDrive store against a loopback stand-in of the graph drive API: every operation on
// awkward names, upload pieces at their boundaries, paging and where a next page may lead, and
// the faults that must not lose or half-write a file.
#include <gtest/gtest.h>

#include "core/cloud/http/Request.h"
#include "core/cloud/onedrive/OneDrive.h"
#include "drive_fixture.h"
#include "support/temp_dir.h"
#include "webdav_fixture.h"

namespace {

using namespace KVO_Core;
using namespace drive_test;
using cloud_test::reason_of_call;
using Utilities::FilesystemUtil::FileInfoResult;

class OneDriveStore : public DriveTest {
 protected:
  OneDriveStore() : DriveTest("onedrive") {}
};

TEST_F(OneDriveStore, EveryOperationKeepsAwkwardNamesIntact) {
  Operations const store{
      [&](std::string const& path) { one_drive::make_directory(account, path); },
      [&](fs::path const& file, std::string const& path) {
        return one_drive::upload(file, account, path);
      },
      [&](std::string const& folder) { return one_drive::list(account, folder); },
      [&](std::string const& path) { return one_drive::stat(account, path); },
      [&](std::string const& path, fs::path const& file) {
        return one_drive::download(account, path, file);
      },
      [&](std::string const& from, std::string const& to) { one_drive::move(account, from, to); },
      [&](std::string const& path) { one_drive::remove(account, path); }};
  ASSERT_NO_FATAL_FAILURE(expect_awkward_names_kept(store));
  EXPECT_EQ(reason_of_call([&] { one_drive::remove(account, "/docs/gone"); }),
            FileInfoResult::file_not_exist);
}

TEST_F(OneDriveStore, PiecesMeetExactlyAndCarryNoToken) {
  constexpr std::size_t MIB10 = 10485760;
  struct Case {
    std::size_t size;
    std::vector<std::string> ranges;
  } const cases[] = {
      {MIB10, {"bytes 0-10485759/10485760"}},
      {MIB10 + 1, {"bytes 0-10485759/10485761", "bytes 10485760-10485760/10485761"}},
  };
  for (auto const& c : cases) {
    std::string const content = bytes_of(c.size);
    make_file(local / "big", content, 1700000000);
    requests();
    ASSERT_EQ(one_drive::upload(local / "big", account, "/big"), CopyResult::Done);
    auto const pieces = requests("/upload/");
    ASSERT_EQ(pieces.size(), c.ranges.size()) << c.size;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      EXPECT_EQ(pieces[i].method, "PUT");
      EXPECT_EQ(pieces[i].range, c.ranges[i]);
      EXPECT_EQ(pieces[i].auth, "") << "the upload address wants no token";
    }
    EXPECT_TRUE(test_support::read_file(server.root() / "big") == content) << c.size;
    EXPECT_EQ(mtime_of(server.root() / "big"), 1700000000);
    fs::path const back = local / "big-back";
    ASSERT_EQ(one_drive::download(account, "/big", back), CopyResult::Done);
    EXPECT_TRUE(test_support::read_file(back) == content);
    // The content comes from the item's download address, which wants no token either.
    auto const fetched = requests("/dl");
    EXPECT_FALSE(fetched.empty()) << "the download address was not used";
    for (Logged const& r : fetched) EXPECT_EQ(r.auth, "");
  }
}

TEST_F(OneDriveStore, AnEmptyFileIsPutAndThenGetsItsTime) {
  make_file(local / "empty", "", 1500000000);
  requests();
  ASSERT_EQ(one_drive::upload(local / "empty", account, "/empty"), CopyResult::Done);
  auto const calls = requests("/v1.0/");
  ASSERT_EQ(calls.size(), 3u);  // the name's check, the content, then the time
  EXPECT_EQ(calls[1].method, "PUT");
  EXPECT_NE(calls[1].path.find(":/empty:/content"), std::string::npos);
  EXPECT_EQ(calls[2].method, "PATCH");
  for (Logged const& call : calls)
    EXPECT_EQ(call.path.find("createUploadSession"), std::string::npos);
  EXPECT_TRUE(fs::is_regular_file(server.root() / "empty"));
  EXPECT_EQ(fs::file_size(server.root() / "empty"), 0u);
  EXPECT_EQ(mtime_of(server.root() / "empty"), 1500000000);
  fs::path const back = local / "empty-back";
  ASSERT_EQ(one_drive::download(account, "/empty", back), CopyResult::Done);
  EXPECT_EQ(fs::file_size(back), 0u);
}

TEST_F(OneDriveStore, ListingFollowsPagesWithTheTokenOnTheAccountsServerOnly) {
  fs::create_directories(server.root() / "many");
  for (int i = 0; i < 5; ++i)
    test_support::write_file(server.root() / "many" / std::to_string(i), "x");
  server.set_config(R"({"page_size": 2})");
  requests();
  auto const listed = one_drive::list(account, "/many");
  EXPECT_EQ(listed.size(), 5u);
  auto const pages = requests("/children");
  ASSERT_EQ(pages.size(), 3u);
  for (Logged const& page : pages) EXPECT_EQ(page.auth.rfind("Bearer tok-", 0), 0u);

  // The same server under another name is another origin: the second page is never asked for.
  server.set_config(R"({"page_size": 2, "next_host": "localhost"})");
  try {
    one_drive::list(account, "/many");
    ADD_FAILURE() << "a next page on another server was followed";
  } catch (http::Error const& e) {
    EXPECT_EQ(e.reason, FileInfoResult::unknown_error);
    EXPECT_NE(std::string(e.what()).find("another server"), std::string::npos);
  }
  EXPECT_EQ(requests("/children").size(), 1u);

  // A link back to a page already read would never end.
  server.set_config(R"({"page_size": 2, "loop": true})");
  EXPECT_EQ(reason_of_call([&] { one_drive::list(account, "/many"); }),
            FileInfoResult::unknown_error);
  EXPECT_EQ(requests("/children").size(), 2u);

  // A plain-http next page off the local machine is refused before any request.
  server.set_config(R"({"page_size": 2, "next_host": "example.com"})");
  EXPECT_EQ(reason_of_call([&] { one_drive::list(account, "/many"); }),
            FileInfoResult::unknown_error);
  EXPECT_EQ(requests("/children").size(), 1u);
}

TEST_F(OneDriveStore, FailedListingsAndTransfersNameTheirReason) {
  // Graph's 404 for a missing folder; a busy service; a refused token on the second page.
  EXPECT_EQ(reason_of_call([&] { one_drive::list(account, "/missing"); }),
            FileInfoResult::file_not_exist);
  fs::create_directories(server.root() / "few");
  for (int i = 0; i < 3; ++i)
    test_support::write_file(server.root() / "few" / std::to_string(i), "x");
  server.set_config(R"({"page_size": 2})");
  server.set_faults(
      R"([{"path": "skiptoken", "status": 401, "body": "{\"error\":{\"code\":\"InvalidAuthenticationToken\"}}"}])");
  EXPECT_EQ(reason_of_call([&] { one_drive::list(account, "/few"); }),
            FileInfoResult::authentication_failed);
  server.set_faults(R"([{"path": "children", "status": 429}])");
  EXPECT_EQ(reason_of_call([&] { one_drive::list(account, "/few"); }),
            FileInfoResult::server_unavailable);
  // An answer that holds no list is no empty folder.
  server.set_faults(R"([{"path": "children", "status": 200, "body": "{}"}])");
  EXPECT_EQ(reason_of_call([&] { one_drive::list(account, "/few"); }),
            FileInfoResult::unknown_error);
  server.set_faults(
      R"([{"path": "children", "status": 200, "body": "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]"}])");
  EXPECT_EQ(reason_of_call([&] { one_drive::list(account, "/few"); }),
            FileInfoResult::unknown_error);

  // A download address on plain http off the local machine is refused; nothing is written.
  test_support::write_file(server.root() / "f", "data");
  server.set_config(R"({"download_base": "http://example.com"})");
  EXPECT_EQ(reason_of_call([&] { one_drive::download(account, "/f", local / "f"); }),
            FileInfoResult::unknown_error);
  EXPECT_FALSE(fs::exists(local / "f"));
  EXPECT_EQ(reason_of_call([&] { one_drive::download(account, "/nothing", local / "n"); }),
            FileInfoResult::unknown_error);

  // An account whose address is plain http off the local machine sends nothing.
  SshAccount plain = account;
  plain.url = "http://example.com/v1.0";
  requests();
  EXPECT_EQ(reason_of_call([&] { one_drive::stat(plain, "/f"); }), FileInfoResult::unknown_error);
  EXPECT_TRUE(requests().empty());
}

TEST_F(OneDriveStore, AnUploadCutShortCommitsNothingAndTheNextOneCompletes) {
  Upload const upload = [&](fs::path const& file, std::string const& remote) {
    return one_drive::upload(file, account, remote);
  };
  // libcurl sends a piece again once when a kept-alive connection drops, so the reset is twice.
  expect_nothing_committed(
      upload, 2 * 10485760 + 3,
      {{R"([{"path": "/upload/", "skip": 1, "times": 2, "reset": true}])",
        FileInfoResult::connection_lost},
       {R"([{"path": "/upload/", "skip": 1, "status": 409, "body": "{\"error\":{\"code\":\"invalidRange\"}}"}])",
        FileInfoResult::unknown_error},
       {R"([{"path": "/upload/", "skip": 2, "status": 429}])",
        FileInfoResult::server_unavailable}});
  expect_stop_cancels(upload, 2 * 10485760 + 1, 10485760 + 4096);
}

TEST_F(OneDriveStore, NamesDifferingInCaseOnlyAreOneNameAndNeverReplaced) {
  make_file(local / "a", "first", 1600000000);
  make_file(local / "b", "second", 1600000001);
  ASSERT_EQ(one_drive::upload(local / "a", account, "/Report.txt"), CopyResult::Done);
  ASSERT_EQ(one_drive::upload(local / "b", account, "/other.txt"), CopyResult::Done);
  auto const found = one_drive::stat(account, "/REPORT.TXT");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, "Report.txt");
  requests();
  EXPECT_EQ(reason_of_call([&] { one_drive::move(account, "/other.txt", "/REPORT.txt"); }),
            FileInfoResult::unknown_error);
  for (Logged const& r : requests()) EXPECT_NE(r.method, "PATCH") << "nothing may change";
  EXPECT_TRUE(test_support::read_file(server.root() / "Report.txt") == "first");
  EXPECT_TRUE(test_support::read_file(server.root() / "other.txt") == "second");
  // Nor may an upload or a folder: each would be taken for the other local name's copy.
  EXPECT_EQ(reason_of_call([&] { one_drive::upload(local / "b", account, "/REPORT.TXT"); }),
            FileInfoResult::unknown_error);
  EXPECT_TRUE(test_support::read_file(server.root() / "Report.txt") == "first");
  one_drive::make_directory(account, "/Docs");
  EXPECT_EQ(reason_of_call([&] { one_drive::make_directory(account, "/docs"); }),
            FileInfoResult::unknown_error);
  // A folder cannot take the name of a file in another case.
  EXPECT_NE(reason_of_call([&] { one_drive::make_directory(account, "/report.TXT"); }), 0);
  EXPECT_TRUE(fs::is_regular_file(server.root() / "Report.txt"));
}

}  // namespace
