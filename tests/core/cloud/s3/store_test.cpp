// The S3 store's operations against the strict-signature server: awkward names through every
// operation, folders and their markers, paging, foreign objects, refusals and a wrong secret.
#include "s3_fixture.h"

#include "utilities/Translation.h"

namespace {

using namespace s3_test;
using Utilities::FilesystemUtil::FileInfoResult;
using S3Store = S3Test;

std::vector<std::string> names_of(std::vector<webdav::Entry> const& entries) {
  std::vector<std::string> names;
  for (webdav::Entry const& e : entries) names.push_back(e.name + (e.is_dir ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

std::string text_of(char const* id, std::string const& what) {
  return Utilities::translation::translate_utf8(id) + what;
}

TEST_F(S3Store, AwkwardNamesGoThroughEveryOperation) {
  std::string const names[] = {"with blank.txt", "hash#.txt",       "per%25cent.txt",
                               "plus+and=.txt",  "caf\xC3\xA9.txt", "smile\xF0\x9F\x98\x80.txt",
                               "tilde~!'()*"};
  std::string const folder = "d\xC3\xAE r #%+\xF0\x9F\x98\x80";
  ASSERT_NO_THROW(make_directory(account, at(folder)));
  std::time_t when = 1'600'000'000;
  for (std::string const& name : names) {
    SCOPED_TRACE(name);
    fs::path const file = local("up", "content of " + name, ++when);
    ASSERT_EQ(upload(file, account, at(folder + "/" + name)), CopyResult::Done);
    std::optional<webdav::Entry> const entry = stat(account, at(folder + "/" + name));
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, name);
    EXPECT_FALSE(entry->is_dir);
    EXPECT_EQ(entry->size, ("content of " + name).size());
    EXPECT_EQ(entry->mtime, when);

    fs::path const back = dir.path() / "back";
    ASSERT_EQ(download(account, at(folder + "/" + name), back), CopyResult::Done);
    EXPECT_EQ(read_file(back), "content of " + name);
    EXPECT_EQ(mtime_of(back), when);
  }
  std::vector<std::string> expected(std::begin(names), std::end(names));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_of(list(account, at(folder))), expected);
  EXPECT_EQ(names_of(list(account, bucket)), std::vector<std::string>{folder + "/"});

  // A server-side copy keeps the object's metadata, so a moved file keeps its time.
  for (std::string const& name : names) {
    SCOPED_TRACE(name);
    ASSERT_NO_THROW(move(account, at(folder + "/" + name), at("moved/" + name + " 2")));
    EXPECT_FALSE(stat(account, at(folder + "/" + name)));
    std::optional<webdav::Entry> const moved = stat(account, at("moved/" + name + " 2"));
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->size, ("content of " + name).size());
    ASSERT_NO_THROW(remove(account, at("moved/" + name + " 2")));
    EXPECT_FALSE(stat(account, at("moved/" + name + " 2")));
  }
  EXPECT_EQ(stat(account, at("moved/" + names[0] + " 2")), std::nullopt);
  EXPECT_EQ(stat(account, at("moved/" + names[4] + " 2")), std::nullopt);
}

TEST_F(S3Store, MovedObjectKeepsItsTime) {
  ASSERT_EQ(upload(local("a", "abc", 1'234'567'890), account, at("a.txt")), CopyResult::Done);
  move(account, at("a.txt"), at("sub/b.txt"));
  std::optional<webdav::Entry> const moved = stat(account, at("sub/b.txt"));
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->mtime, 1'234'567'890);
  EXPECT_FALSE(stat(account, at("a.txt")));
}

TEST_F(S3Store, FoldersExistByMarkerOrByWhatLiesBelow) {
  ASSERT_NO_THROW(make_directory(account, at("photos/2024")));
  std::optional<webdav::Entry> marker_only = stat(account, at("photos/2024"));
  ASSERT_TRUE(marker_only);
  EXPECT_TRUE(marker_only->is_dir);
  EXPECT_EQ(marker_only->name, "2024");
  EXPECT_TRUE(list(account, at("photos/2024")).empty());
  EXPECT_EQ(names_of(list(account, at("photos"))), std::vector<std::string>{"2024/"});

  upload(local("a", "a", 1'000'000'000), account, at("photos/2024/a.jpg"));
  upload(local("r", "r", 1'000'000'000), account, at("photos/2024/raw/r.cr2"));
  EXPECT_EQ(names_of(list(account, at("photos/2024"))),
            (std::vector<std::string>{"a.jpg", "raw/"}));
  EXPECT_TRUE(stat(account, at("photos/2024/raw"))->is_dir);  // by the listing, no marker

  // Existing folders, the bucket and the root are success; nothing is made twice.
  for (std::string const& path : {at("photos/2024"), at("photos/2024/raw"), bucket, std::string()})
    EXPECT_NO_THROW(make_directory(account, path)) << path;
  EXPECT_EQ(failure_of([&] { make_directory(account, at("photos/2024/a.jpg")); }),
            std::make_pair(FileInfoResult::unknown_error,
                           text_of("s3_name_taken", at("photos/2024/a.jpg"))));
  EXPECT_EQ(failure_of([&] { make_directory(account, "no-such-bucket-kvo"); }).second,
            text_of("s3_bucket_missing", "no-such-bucket-kvo"));

  // Removing a folder removes its marker only; what lies below keeps it there.
  remove(account, at("photos/2024"));
  EXPECT_TRUE(stat(account, at("photos/2024/a.jpg")));
  EXPECT_TRUE(stat(account, at("photos/2024"))->is_dir);
  remove(account, at("photos/2024/a.jpg"));
  remove(account, at("photos/2024/raw/r.cr2"));
  EXPECT_FALSE(stat(account, at("photos/2024")));
  EXPECT_TRUE(list(account, at("photos/2024")).empty());

  std::optional<webdav::Entry> const root = stat(account, "/");
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->is_dir);
  EXPECT_EQ(stat(account, bucket)->name, bucket);
  EXPECT_FALSE(stat(account, "no-such-bucket-kvo"));
  std::vector<std::string> const buckets = names_of(list(account, ""));
  EXPECT_NE(std::find(buckets.begin(), buckets.end(), bucket + "/"), buckets.end());
  // Below a bucket that does not exist the listing probe fails: not a plain "nothing here".
  EXPECT_EQ(failure_of([&] { stat(account, "no-such-bucket-kvo/a"); }).first,
            FileInfoResult::file_not_exist);
}

TEST_F(S3Store, RefusalsLeaveEverythingInPlace) {
  upload(local("a", "source", 1'000'000'000), account, at("a.txt"));
  upload(local("b", "target", 1'000'000'000), account, at("b.txt"));
  make_directory(account, at("folder"));
  struct Case {
    char const* what;
    std::function<void()> operation;
    std::string text;
  } const cases[] = {
      {"move onto a file", [&] { move(account, at("a.txt"), at("b.txt")); },
       text_of("s3_name_taken", at("b.txt"))},
      {"move onto itself", [&] { move(account, at("a.txt"), at("/a.txt")); },
       text_of("s3_name_taken", at("/a.txt"))},
      {"move onto a folder", [&] { move(account, at("a.txt"), at("folder")); },
       text_of("s3_name_taken", at("folder"))},
      {"move onto a bucket", [&] { move(account, at("a.txt"), bucket); },
       text_of("s3_name_taken", bucket)},
      {"move a folder", [&] { move(account, at("folder"), at("f2")); },
       text_of("s3_folder_not_renamable", at("folder"))},
      {"move nothing", [&] { move(account, at("none"), at("n2")); },
       text_of("s3_file_missing", at("none"))},
      {"remove a bucket", [&] { remove(account, bucket); }, text_of("s3_file_missing", bucket)},
      {"remove nothing", [&] { remove(account, at("none")); },
       text_of("s3_file_missing", at("none"))},
      {"download a bucket", [&] { download(account, bucket, dir.path() / "x"); },
       text_of("s3_not_an_object", bucket)},
      {"upload onto a bucket", [&] { upload(dir.path() / "a", account, bucket + "/"); },
       text_of("s3_not_an_object", bucket + "/")},
      {"upload a missing file", [&] { upload(dir.path() / "none", account, at("x")); },
       text_of("local_file_open_error", (dir.path() / "none").string())},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(failure_of(c.operation), std::make_pair(FileInfoResult::unknown_error, c.text));
  }
  fs::path const back = dir.path() / "back";
  download(account, at("a.txt"), back);
  EXPECT_EQ(read_file(back), "source");
  download(account, at("b.txt"), back);
  EXPECT_EQ(read_file(back), "target");
  EXPECT_TRUE(stat(account, at("folder"))->is_dir);
}

TEST_F(S3Store, ThousandsOfKeysArriveOverPages) {
  server().put_empty_objects(bucket, "many/k", 2500);
  std::vector<webdav::Entry> const entries = list(account, at("many"));
  ASSERT_EQ(entries.size(), 2500u);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "k%05zu", i);
    ASSERT_EQ(entries[i].name, expected);
  }
  EXPECT_GE(requests(server().log(bucket), {"GET", "continuation-token=", " 200"}), 2);
}

TEST_F(S3Store, ObjectsOfOtherToolsTakeTheServerTime) {
  server().put_object(bucket, "foreign.txt", "written elsewhere");
  std::optional<webdav::Entry> const entry = stat(account, at("foreign.txt"));
  ASSERT_TRUE(entry);
  std::time_t const now = std::time(nullptr);
  EXPECT_NEAR(static_cast<double>(entry->mtime), static_cast<double>(now), 120.0);
  fs::path const back = dir.path() / "foreign";
  ASSERT_EQ(download(account, at("foreign.txt"), back), CopyResult::Done);
  EXPECT_EQ(read_file(back), "written elsewhere");
  EXPECT_EQ(mtime_of(back), entry->mtime);
  // The listing names keys with "//" runs and keys that are no entry names under no name at all.
  server().put_object(bucket, "odd//double", "x");
  server().put_object(bucket, "odd/back\\slash", "x");
  server().put_object(bucket, "odd/fine", "x");
  EXPECT_EQ(names_of(list(account, at("odd"))), std::vector<std::string>{"fine"});
}

TEST_F(S3Store, WrongSecretOrAddressIsRefused) {
  SshAccount const wrong = account_of(server(), server().secret_key() + "x");
  auto const [reason, text] = failure_of([&] { list(wrong, bucket); });
  EXPECT_EQ(reason, FileInfoResult::permission_denied);
  EXPECT_EQ(text.rfind("S3 HTTP 403: The request signature we calculated does not match", 0), 0u)
      << text;
  EXPECT_EQ(failure_of([&] { stat(wrong, at("a")); }),
            std::make_pair(FileInfoResult::unknown_error, text_of("s3_access_denied", at("a"))));

  SshAccount far = account;
  far.url = "http://s3.example.org";
  EXPECT_EQ(failure_of([&] { list(far, bucket); }),
            std::make_pair(FileInfoResult::unknown_error,
                           text_of("webdav_url_not_https", "http://s3.example.org")));
}

}  // namespace
