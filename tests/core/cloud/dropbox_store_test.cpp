// The Dropbox store against a loopback stand-in of API v2: every operation on awkward names with
// the argument header kept ASCII, upload sessions at their piece boundaries, listings continued
// by cursor, and the faults that must not lose or half-write a file.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/cloud/dropbox/Dropbox.h"
#include "core/cloud/http/Request.h"
#include "drive_fixture.h"
#include "support/temp_dir.h"
#include "webdav_fixture.h"

namespace {

using namespace KVO_Core;
using namespace drive_test;
using cloud_test::reason_of_call;
using Utilities::FilesystemUtil::FileInfoResult;

class DropboxStore : public DriveTest {
 protected:
  DropboxStore() : DriveTest("dropbox") {}
};

TEST_F(DropboxStore, EveryOperationKeepsAwkwardNamesIntact) {
  Operations const store{
      [&](std::string const& path) { dropbox::make_directory(account, path); },
      [&](fs::path const& file, std::string const& path) {
        return dropbox::upload(file, account, path);
      },
      [&](std::string const& folder) { return dropbox::list(account, folder); },
      [&](std::string const& path) { return dropbox::stat(account, path); },
      [&](std::string const& path, fs::path const& file) {
        return dropbox::download(account, path, file);
      },
      [&](std::string const& from, std::string const& to) { dropbox::move(account, from, to); },
      [&](std::string const& path) { dropbox::remove(account, path); }};
  // The header's argument reached the service as ASCII escapes (it answers 400 to anything else).
  auto const header_escaped = [&] {
    bool escaped = false;
    for (Logged const& r : requests("/2/files/upload"))
      escaped = escaped || r.arg.find("\\ud83d\\ude00") != std::string::npos;
    EXPECT_TRUE(escaped);
  };
  ASSERT_NO_FATAL_FAILURE(expect_awkward_names_kept(store, header_escaped));
  EXPECT_TRUE(requests().empty()) << "the root is known without asking";
  EXPECT_EQ(reason_of_call([&] { dropbox::download(account, "/nothing", local / "n"); }),
            FileInfoResult::unknown_error);
}

TEST_F(DropboxStore, UploadSessionsMeetExactlyAtTheirOffsets) {
  constexpr std::size_t MIB8 = 8388608;
  struct Case {
    std::size_t size;
    std::vector<std::string> calls;  // endpoint and offset of each content request
  } const cases[] = {
      {0, {"upload 0"}},
      {MIB8, {"upload 0"}},
      {MIB8 + 1, {"upload_session/start 0", "upload_session/finish 8388608"}},
      {2 * MIB8 + 1,
       {"upload_session/start 0", "upload_session/append_v2 8388608",
        "upload_session/finish 16777216"}},
  };
  for (auto const& c : cases) {
    std::string const content = bytes_of(c.size);
    make_file(local / "big", content, 1700000000);
    requests();
    ASSERT_EQ(dropbox::upload(local / "big", account, "/big"), CopyResult::Done) << c.size;
    std::vector<std::string> calls;
    std::uint64_t sent = 0;
    for (Logged const& r : requests("/2/files/upload")) {
      std::string const endpoint = r.path.substr(r.path.find("/files/") + 7);
      auto const at = r.arg.find("\"offset\":");
      std::string offset = "0";
      if (at != std::string::npos)
        offset = r.arg.substr(at + 9, r.arg.find_first_of(",}", at) - at - 9);
      calls.push_back(endpoint + " " + offset);
      EXPECT_EQ(std::to_string(sent), offset) << endpoint;
      sent += r.length;
    }
    EXPECT_EQ(calls, c.calls) << c.size;
    EXPECT_EQ(sent, c.size);
    EXPECT_TRUE(test_support::read_file(server.root() / "big") == content) << c.size;
    EXPECT_EQ(mtime_of(server.root() / "big"), 1700000000);
  }
}

TEST_F(DropboxStore, ListingsFollowTheCursorAndLeaveOutWhatIsNoEntry) {
  fs::create_directories(server.root() / "many");
  for (int i = 0; i < 5; ++i)
    test_support::write_file(server.root() / "many" / std::to_string(i), "x");
  server.set_config(R"({"page_size": 2, "extra_entries": [
      {".tag": "deleted", "name": "gone"}, {".tag": "file", "name": ".."},
      {".tag": "file", "name": "a/b"}, {".tag": "folder", "name": "kept"}]})");
  requests();
  auto const listed = dropbox::list(account, "/many");
  std::vector<std::string> names;
  for (auto const& e : listed) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"0", "1", "2", "3", "4", "kept"}));
  EXPECT_EQ(requests("/list_folder/continue").size(), 2u);

  server.set_faults(R"([{"path": "list_folder/continue", "status": 401}])");
  EXPECT_EQ(reason_of_call([&] { dropbox::list(account, "/many"); }),
            FileInfoResult::authentication_failed);
  server.set_faults(R"([{"path": "list_folder", "status": 429}])");
  EXPECT_EQ(reason_of_call([&] { dropbox::list(account, "/many"); }),
            FileInfoResult::server_unavailable);
  server.set_faults(R"([{"path": "list_folder", "status": 200, "body": "{\"has_more\": false}"}])");
  EXPECT_EQ(reason_of_call([&] { dropbox::list(account, "/many"); }),
            FileInfoResult::unknown_error);
  server.set_faults(
      R"([{"path": "list_folder/continue", "times": 9, "status": 200, "body": "{\"entries\": [], \"cursor\": \"same\", \"has_more\": true}"}])");
  EXPECT_EQ(reason_of_call([&] { dropbox::list(account, "/many"); }),
            FileInfoResult::unknown_error);
  server.set_faults("[]");
  EXPECT_EQ(reason_of_call([&] { dropbox::list(account, "/missing"); }),
            FileInfoResult::unknown_error);
  EXPECT_FALSE(dropbox::stat(account, "/missing"));
}

TEST_F(DropboxStore, AnUploadCutShortCommitsNothingAndTheNextOneCompletes) {
  Upload const upload = [&](fs::path const& file, std::string const& remote) {
    return dropbox::upload(file, account, remote);
  };
  // libcurl sends a piece again once when a kept-alive connection drops, so the reset is twice.
  expect_nothing_committed(
      upload, 2 * 8388608 + 3,
      {{R"([{"path": "append_v2", "times": 2, "reset": true}])", FileInfoResult::connection_lost},
       {R"([{"path": "append_v2", "status": 409, "body": "{\"error_summary\": \"incorrect_offset/..\"}"}])",
        FileInfoResult::unknown_error},
       {R"([{"path": "finish", "status": 429}])", FileInfoResult::server_unavailable},
       {R"([{"path": "upload_session/start", "status": 401}])",
        FileInfoResult::authentication_failed}});
  expect_stop_cancels(upload, 2 * 8388608 + 1, 8388608 + 4096);
}

TEST_F(DropboxStore, NamesDifferingInCaseOnlyAreOneNameAndNeverReplaced) {
  make_file(local / "a", "first", 1600000000);
  make_file(local / "b", "second", 1600000001);
  ASSERT_EQ(dropbox::upload(local / "a", account, "/Report.txt"), CopyResult::Done);
  ASSERT_EQ(dropbox::upload(local / "b", account, "/other.txt"), CopyResult::Done);
  auto const found = dropbox::stat(account, "/REPORT.TXT");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, "Report.txt");
  EXPECT_EQ(reason_of_call([&] { dropbox::move(account, "/other.txt", "/REPORT.txt"); }),
            FileInfoResult::unknown_error);
  EXPECT_TRUE(test_support::read_file(server.root() / "Report.txt") == "first");
  EXPECT_TRUE(test_support::read_file(server.root() / "other.txt") == "second");
  EXPECT_EQ(reason_of_call([&] { dropbox::make_directory(account, "/report.TXT"); }),
            FileInfoResult::unknown_error);
  // Nor may an upload or a folder, also where a folder above differs in case only.
  EXPECT_EQ(reason_of_call([&] { dropbox::upload(local / "b", account, "/REPORT.TXT"); }),
            FileInfoResult::unknown_error);
  EXPECT_TRUE(test_support::read_file(server.root() / "Report.txt") == "first");
  dropbox::make_directory(account, "/Docs");
  ASSERT_EQ(dropbox::upload(local / "a", account, "/Docs/x.txt"), CopyResult::Done);
  EXPECT_EQ(reason_of_call([&] { dropbox::make_directory(account, "/docs"); }),
            FileInfoResult::unknown_error);
  EXPECT_EQ(reason_of_call([&] { dropbox::upload(local / "b", account, "/docs/X.txt"); }),
            FileInfoResult::unknown_error);
  EXPECT_TRUE(test_support::read_file(server.root() / "Docs" / "x.txt") == "first");
}

}  // namespace
