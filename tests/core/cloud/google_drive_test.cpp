// The Google Drive store against the fake Drive: paths resolved through folder ids, paging,
// quoting, trash, moves, uploads with their modification time, and the faults of the service.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/cloud/gdrive/GoogleDrive.h"
#include "core/cloud/http/Request.h"
#include "core/cloud/oauth/AccessToken.h"
#include "fake_cloud_fixture.h"
#include "utilities/FileTime.h"
#include "utilities/Translation.h"

namespace {

using namespace KVO_Core;
using test_support::read_file;
using test_support::write_file;
using Utilities::translation::translate_utf8;
namespace gd = google_drive;

class GoogleDrive : public cloud_test::FakeCloudFixture {
 protected:
  // A local file with the content and modification time (Unix seconds).
  std::filesystem::path local(std::string const& name, std::string const& content,
                              std::time_t mtime) {
    auto path = scratch_.path() / name;
    write_file(path, content);
    std::filesystem::last_write_time(path, Utilities::file_time::to_file_time(mtime));
    return path;
  }
  static std::time_t mtime_of(std::filesystem::path const& path) {
    return Utilities::file_time::to_time_t(std::filesystem::last_write_time(path));
  }
  static std::vector<std::string> names(std::vector<webdav::Entry> const& entries) {
    std::vector<std::string> out;
    for (auto const& entry : entries) out.push_back(entry.name);
    return out;
  }
  // The failure text of `call`, or "<none>"; its reason in `reason`.
  template <typename Call>
  static std::string failure_of(Call&& call, int* reason = nullptr) {
    try {
      call();
    } catch (RemoteFailure const& failure) {
      if (reason) *reason = failure.reason;
      return failure.what();
    }
    return "<none>";
  }
  std::size_t count_requests(std::string const& prefix) const {
    auto all = requests();
    return static_cast<std::size_t>(std::count_if(
        all.begin(), all.end(), [&](std::string const& line) { return line.starts_with(prefix); }));
  }
};

TEST_F(GoogleDrive, OperationsOnNestedPaths) {
  auto const account = drive("nested");
  gd::make_directory(account, "/a");
  gd::make_directory(account, "/a/b");
  gd::make_directory(account, "a/b/c/");
  auto const posts = count_requests("POST /drive/v3/files");
  gd::make_directory(account, "/a/b/c");  // there already: lookups only
  EXPECT_EQ(count_requests("POST /drive/v3/files"), posts);

  auto const source = local("f.txt", "first content", 1600000000);
  EXPECT_EQ(gd::upload(source, account, "/a/b/c/f.txt"), CopyResult::Done);
  auto entry = gd::stat(account, "/a/b/c/f.txt");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "f.txt");
  EXPECT_FALSE(entry->is_dir);
  EXPECT_EQ(entry->size, 13u);
  EXPECT_EQ(entry->mtime, 1600000000);
  EXPECT_EQ(names(gd::list(account, "/a/b/c")), std::vector<std::string>{"f.txt"});
  auto const listed = gd::list(account, "/a/b");
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_TRUE(listed[0].is_dir);

  // The upload's content went in one PUT without the bearer token; a new file is POSTed with
  // its name, parent and time.
  auto const tree = state();
  bool saw_put = false;
  for (auto const& [key, request] : tree.get_child("requests")) {
    auto const method = request.get<std::string>("method");
    auto const path = request.get<std::string>("path");
    if (method == "PUT") {
      saw_put = true;
      EXPECT_EQ(request.get<std::string>("auth"), "");
      EXPECT_EQ(request.get<std::string>("length"), "13");
    }
    if (method == "POST" && path.starts_with("/upload/drive/v3/files?uploadType=resumable")) {
      EXPECT_EQ(request.get<std::string>("length"), "13");
      auto const body = request.get<std::string>("body");
      EXPECT_EQ(
          body.rfind(R"({"modifiedTime":"2020-09-13T12:26:40Z","name":"f.txt","parents":[")", 0),
          0u)
          << body;
    }
  }
  EXPECT_TRUE(saw_put);

  auto const copy = scratch_.path() / "copy.txt";
  EXPECT_EQ(gd::download(account, "/a/b/c/f.txt", copy), CopyResult::Done);
  EXPECT_EQ(read_file(copy), "first content");
  EXPECT_EQ(mtime_of(copy), 1600000000);

  // An existing file: PATCH on its id with the time only, the same node afterwards.
  auto const changed = local("f2.txt", "second", 1700000123);
  EXPECT_EQ(gd::upload(changed, account, "/a/b/c/f.txt"), CopyResult::Done);
  EXPECT_EQ(count_requests("PATCH /upload/drive/v3/files/"), 1u);
  entry = gd::stat(account, "/a/b/c/f.txt");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->size, 6u);
  EXPECT_EQ(entry->mtime, 1700000123);
  EXPECT_EQ(gd::list(account, "/a/b/c").size(), 1u);

  // Across folders, then within one (no parents in the query), never onto a taken name.
  gd::move(account, "/a/b/c/f.txt", "/a/g.txt");
  EXPECT_FALSE(gd::stat(account, "/a/b/c/f.txt"));
  ASSERT_TRUE(gd::stat(account, "/a/g.txt"));
  auto const all = requests();
  auto const across = std::find_if(all.rbegin(), all.rend(), [](std::string const& line) {
    return line.starts_with("PATCH /drive/v3/files/");
  });
  ASSERT_NE(across, all.rend());
  EXPECT_NE(across->find("?addParents="), std::string::npos);
  EXPECT_NE(across->find("&removeParents="), std::string::npos);

  gd::move(account, "/a/g.txt", "/a/h.txt");
  auto const after = requests();
  auto const within = std::find_if(after.rbegin(), after.rend(), [](std::string const& line) {
    return line.starts_with("PATCH /drive/v3/files/");
  });
  EXPECT_EQ(within->find('?'), std::string::npos) << *within;
  EXPECT_TRUE(gd::stat(account, "/a/h.txt"));

  int reason = 0;
  EXPECT_EQ(failure_of([&] { gd::move(account, "/a/h.txt", "/a/b"); }, &reason),
            translate_utf8("google_drive_name_taken") + "/a/b");
  EXPECT_EQ(reason, Utilities::FilesystemUtil::unknown_error);
  EXPECT_TRUE(gd::stat(account, "/a/h.txt"));

  // Removing puts the folder in the trash; nothing below it is found any more, also not
  // through a cached folder id.
  gd::remove(account, "/a/b");
  EXPECT_FALSE(gd::stat(account, "/a/b"));
  EXPECT_FALSE(gd::stat(account, "/a/b/c"));
  bool trashed = false;
  auto const after_remove = state();
  for (auto const& [key, node] : after_remove.get_child("nodes")) {
    if (node.get<std::string>("name") == "b") trashed = node.get<bool>("trashed");
  }
  EXPECT_TRUE(trashed);
}

TEST_F(GoogleDrive, RootAndMissingPlaces) {
  auto const account = drive("missing");
  cloud.control("add", R"({"path": "/file"})");
  cloud.control("folder", R"({"path": "/folder"})");
  for (std::string root : {"", "/"}) {
    auto entry = gd::stat(account, root);
    ASSERT_TRUE(entry);
    EXPECT_TRUE(entry->is_dir);
    EXPECT_EQ(entry->name, "");
  }
  EXPECT_EQ(names(gd::list(account, "/")), (std::vector<std::string>{"file", "folder"}));
  EXPECT_FALSE(gd::stat(account, "/nope/x"));
  EXPECT_FALSE(gd::stat(account, "/file/x"));

  auto const folder_missing = translate_utf8("google_drive_folder_missing");
  auto const file_missing = translate_utf8("google_drive_file_missing");
  auto const some_file = local("up.txt", "x", 1600000000);
  struct Case {
    std::string what;
    std::function<void()> call;
    std::string text;
  };
  for (auto const& c : std::vector<Case>{
           {"mkdir root", [&] { gd::make_directory(account, "/"); }, folder_missing + "/"},
           {"remove root", [&] { gd::remove(account, ""); }, folder_missing},
           {"move root", [&] { gd::move(account, "/", "/x"); }, folder_missing + "/"},
           {"download root", [&] { gd::download(account, "/", some_file); }, folder_missing + "/"},
           {"upload root", [&] { gd::upload(some_file, account, "/"); }, folder_missing + "/"},
           {"list missing", [&] { gd::list(account, "/nope"); }, folder_missing + "/nope"},
           {"list a file", [&] { gd::list(account, "/file"); }, folder_missing + "/file"},
           {"mkdir below missing", [&] { gd::make_directory(account, "/nope/x"); },
            folder_missing + "/nope/x"},
           {"download missing", [&] { gd::download(account, "/gone", some_file); },
            file_missing + "/gone"},
           {"remove missing", [&] { gd::remove(account, "/gone"); }, file_missing + "/gone"},
           {"move missing", [&] { gd::move(account, "/gone", "/x"); }, file_missing + "/gone"},
           {"mkdir on a file", [&] { gd::make_directory(account, "/file"); },
            translate_utf8("google_drive_name_taken") + "/file"},
           {"upload onto a folder", [&] { gd::upload(some_file, account, "/folder"); },
            translate_utf8("google_drive_name_taken") + "/folder"},
       }) {
    int reason = 0;
    EXPECT_EQ(failure_of(c.call, &reason), c.text) << c.what;
    EXPECT_EQ(reason, Utilities::FilesystemUtil::unknown_error) << c.what;
  }
}

TEST_F(GoogleDrive, ListingPagesThroughThousandsAndEndlessPagingEnds) {
  auto const account = drive("paging");
  cloud.control("bulk", R"({"folder": "/big", "count": 1001})");
  configure(R"({"page_size": 2})");
  auto const entries = gd::list(account, "/big");
  ASSERT_EQ(entries.size(), 1001u);
  EXPECT_EQ(entries.front().name, "f00000");
  EXPECT_EQ(entries.back().name, "f01000");
  EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(),
                             [](auto const& a, auto const& b) { return a.name < b.name; }));
  EXPECT_EQ(count_requests("GET /drive/v3/files?"), 502u);  // the folder's lookup and 501 pages
  auto const first_page = requests()[1];
  EXPECT_NE(first_page.find("pageSize=1000"), std::string::npos);
  EXPECT_NE(first_page.find(
                "fields=nextPageToken%2Cfiles%28id%2Cname%2CmimeType%2Csize%2CmodifiedTime%29"),
            std::string::npos);

  configure(R"({"endless_paging": true})");
  int reason = 0;
  EXPECT_EQ(failure_of([&] { gd::list(account, "/big"); }, &reason),
            "Google Drive listing does not end");
  EXPECT_EQ(reason, Utilities::FilesystemUtil::unknown_error);
}

TEST_F(GoogleDrive, QuotedNamesNativeDocumentsAndDuplicates) {
  auto const account = drive("names");
  std::string const folder = "/it's \\ here";
  std::string const file = folder + "/a 'b' \\c\".txt";
  gd::make_directory(account, folder);
  EXPECT_EQ(gd::upload(local("q.txt", "quoted", 1600000000), account, file), CopyResult::Done);
  auto entry = gd::stat(account, file);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "a 'b' \\c\".txt");
  auto const back = scratch_.path() / "back.txt";
  EXPECT_EQ(gd::download(account, file, back), CopyResult::Done);
  EXPECT_EQ(read_file(back), "quoted");
  // A name with a backslash is no plain entry name: found by path, never listed.
  EXPECT_TRUE(gd::list(account, folder).empty());
  gd::make_directory(account, "/it's");
  EXPECT_EQ(names(gd::list(account, "/")), std::vector<std::string>{"it's"});

  cloud.control("add", R"({"path": "/d/doc", "mimeType": "application/vnd.google-apps.document"})");
  cloud.control("add", R"({"path": "/d/sub", "mimeType": "application/vnd.google-apps.folder"})");
  cloud.control("add", R"({"path": "/d/twice", "content": "first", "mtime": 1500000000})");
  cloud.control(
      "add",
      R"({"path": "/d/twice", "content": "second", "mtime": 1600000000, "duplicate": true})");
  EXPECT_FALSE(gd::stat(account, "/d/doc"));
  EXPECT_EQ(names(gd::list(account, "/d")), (std::vector<std::string>{"sub", "twice", "twice"}));
  EXPECT_EQ(gd::stat(account, "/d/twice")->mtime, 1500000000);
  EXPECT_EQ(gd::download(account, "/d/twice", back), CopyResult::Done);
  EXPECT_EQ(read_file(back), "first");
}

TEST_F(GoogleDrive, RefusedTokenAndRefusedRefresh) {
  auto const account = drive("refusing");
  gd::make_directory(account, "/x");
  configure(R"({"refuse_access": true})");
  int reason = 0;
  failure_of([&] { gd::list(account, "/x"); }, &reason);
  EXPECT_EQ(reason, Utilities::FilesystemUtil::authentication_failed);
  EXPECT_TRUE(oauth::forget_access_token(account));

  // The refresh token itself is refused: access_token_expired, before any Drive request.
  configure(R"({"refuse_access": false, "refresh": []})");
  auto const before = requests().size();
  failure_of([&] { gd::stat(account, "/x"); }, &reason);
  EXPECT_EQ(reason, Utilities::FilesystemUtil::access_token_expired);
  EXPECT_EQ(requests().size(), before + 1);
  EXPECT_EQ(requests().back(), "POST /token");
}

TEST_F(GoogleDrive, NewLoginUnderTheSameNameIsNotServedOldFolderIds) {
  configure(R"({"refresh": ["refresh-1", "refresh-2"]})");
  auto const first = drive("relogin", "refresh-1");
  gd::make_directory(first, "/shared");
  EXPECT_TRUE(gd::stat(first, "/shared"));
  // The same account name now logged in anew: its folder is looked up again, not taken from
  // the cache of the old login.
  auto const second = drive("relogin", "refresh-2");
  auto const lookups = count_requests("GET /drive/v3/files?");
  EXPECT_TRUE(gd::stat(second, "/shared/x") == std::nullopt);
  EXPECT_EQ(count_requests("GET /drive/v3/files?"), lookups + 2);
  EXPECT_EQ(state().get_child("token_requests").back().second.get<std::string>("refresh_token"),
            "refresh-2");
}

TEST_F(GoogleDrive, UploadFaultsCommitNothing) {
  auto const account = drive("faults");
  auto const original = local("orig.txt", "original", 1600000000);
  ASSERT_EQ(gd::upload(original, account, "/kept.txt"), CopyResult::Done);
  auto const big = local("big.bin", std::string(1 << 20, 'z'), 1700000000);

  // The connection is reset in the middle of the content: a failure, and neither a new file
  // nor a changed one.
  configure(R"({"upload_reset": true})");
  EXPECT_NE(failure_of([&] { gd::upload(big, account, "/new.bin"); }), "<none>");
  EXPECT_NE(failure_of([&] { gd::upload(big, account, "/kept.txt"); }), "<none>");
  configure(R"({"upload_reset": false})");
  EXPECT_FALSE(gd::stat(account, "/new.bin"));
  EXPECT_EQ(gd::stat(account, "/kept.txt")->size, 8u);
  EXPECT_EQ(gd::stat(account, "/kept.txt")->mtime, 1600000000);

  // Upload addresses of another origin or plain http elsewhere are refused before any byte.
  auto const puts = count_requests("PUT ");
  for (std::string location :
       {"http://localhost:" + std::to_string(cloud.port()) + "/upload/put/x?upload_id=x",
        std::string("http://example.com/upload/put/x?upload_id=x"),
        std::string("https://example.com/upload/put/x?upload_id=x")}) {
    configure(R"({"location": ")" + location + R"("})");
    EXPECT_EQ(failure_of([&] { gd::upload(original, account, "/other.txt"); }),
              "Google Drive named no place for the upload")
        << location;
  }
  EXPECT_EQ(count_requests("PUT "), puts);

  // A refused upload names its address without the upload id.
  configure(R"({"location": ")" + cloud.base() + R"(/upload/put/unknown?upload_id=SECRET-ID"})");
  int reason = 0;
  auto const text = failure_of([&] { gd::upload(original, account, "/other.txt"); }, &reason);
  EXPECT_EQ(reason, Utilities::FilesystemUtil::file_not_exist);
  EXPECT_EQ(text.find("SECRET-ID"), std::string::npos) << text;
  EXPECT_NE(text.find("/upload/put/unknown"), std::string::npos) << text;
}

}  // namespace
