// Faults of the server, injected per bucket by the test server: error statuses, error documents
// in a 200, a connection reset in the middle of an upload and a listing that never ends. A
// failed upload leaves the old object and no open multipart upload behind.
#include "s3_fixture.h"

namespace {

using namespace s3_test;
using Utilities::FilesystemUtil::FileInfoResult;
using S3Faults = S3Test;

constexpr std::size_t MiB = 1024 * 1024;

std::string rule(char const* method, char const* contains, char const* action, int status = 0,
                 char const* body = "") {
  return std::string("{\"method\":\"") + method + "\",\"contains\":\"" + contains +
         "\",\"action\":\"" + action + "\",\"status\":" + std::to_string(status) + ",\"body\":\"" +
         body + "\"}";
}

class S3FaultsOnUpload : public S3Test {
 protected:
  void SetUp() override {
    S3Test::SetUp();
    ASSERT_EQ(upload(local("old", "the old object", 1'000'000'000), account, at("f")),
              CopyResult::Done);
  }

  void expect_old_object_and_no_open_upload() {
    fs::path const back = dir.path() / "back";
    ASSERT_EQ(download(account, at("f"), back), CopyResult::Done);
    EXPECT_EQ(read_file(back), "the old object");
    EXPECT_EQ(mtime_of(back), 1'000'000'000);
    EXPECT_EQ(server().open_uploads(bucket), 0);
  }
};

TEST_F(S3FaultsOnUpload, FailedUploadsLeaveTheOldObject) {
  struct Case {
    char const* what;
    std::size_t size;
    std::string faults;
    FileInfoResult reason;
    char const* text;  // beginning of the failure's text; empty: any
    int aborts;
  } const cases[] = {
      {"500 on the PUT", 1000,
       "[" + rule("PUT", "/f", "status", 500, "<Error><Message>boom</Message></Error>") + "]",
       FileInfoResult::unknown_error, "S3 HTTP 500: boom", 0},
      {"503 on the PUT", 1000, "[" + rule("PUT", "/f", "status", 503) + "]",
       FileInfoResult::server_unavailable, "S3 HTTP 503", 0},
      {"429 on a part", 17 * MiB, "[" + rule("PUT", "partNumber=2", "status", 429) + "]",
       FileInfoResult::server_unavailable, "S3 HTTP 429", 1},
      {"403 naming a quota on a part", 17 * MiB,
       "[" +
           rule("PUT", "partNumber=1", "status", 403, "<Error><Code>QuotaExceeded</Code></Error>") +
           "]",
       FileInfoResult::remote_storage_full, "S3 HTTP 403", 1},
      {"reset during the PUT", 8 * MiB, "[" + rule("PUT", "/f", "reset") + "]",
       FileInfoResult::connection_lost, "", 0},
      {"reset during the second part", 40 * MiB, "[" + rule("PUT", "partNumber=2", "reset") + "]",
       FileInfoResult::connection_lost, "", 1},
      {"completion answered 200 with an error document", 17 * MiB,
       "[" + rule("POST", "uploadId=", "status", 200, "<Error><Message>slow</Message></Error>") +
           "]",
       FileInfoResult::unknown_error, "S3 HTTP 200: slow", 1},
      {"start without an upload id", 17 * MiB,
       "[" + rule("POST", "uploads=", "status", 200, "<InitiateMultipartUploadResult/>") + "]",
       FileInfoResult::unknown_error, "S3 named no multipart upload", 0},
      {"start answered with no XML", 17 * MiB,
       "[" + rule("POST", "uploads=", "status", 200, "not <xml") + "]",
       FileInfoResult::unknown_error, "S3 answer is not XML: ", 0},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    int const aborts_before = requests(server().log(bucket), {"DELETE", "uploadId="});
    server().set_faults(bucket, c.faults);
    fs::path const file = local("new", random_bytes(c.size, 5), 1'600'000'000);
    auto const [reason, text] = failure_of([&] { upload(file, account, at("f")); });
    server().set_faults(bucket, "[]");
    EXPECT_EQ(reason, c.reason) << text;
    EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
    expect_old_object_and_no_open_upload();
    EXPECT_EQ(requests(server().log(bucket), {"DELETE", "uploadId="}) - aborts_before, c.aborts);
    // Only that file failed: the next one goes up.
    ASSERT_EQ(upload(file, account, at(std::string("next-") + std::to_string(c.size))),
              CopyResult::Done);
  }
}

TEST_F(S3Faults, BusyServerFailsEveryOperationAsUnavailable) {
  for (int status : {503, 429}) {
    SCOPED_TRACE(status);
    server().set_faults(
        bucket, "[{\"action\":\"status\",\"status\":" + std::to_string(status) + ",\"times\":-1}]");
    EXPECT_EQ(failure_of([&] { list(account, bucket); }).first, FileInfoResult::server_unavailable);
    EXPECT_EQ(failure_of([&] { stat(account, at("a")); }).first,
              FileInfoResult::server_unavailable);
    server().set_faults(bucket, "[]");
  }
}

TEST_F(S3Faults, EndlessListingIsRefusedOnce) {
  server().set_faults(bucket,
                      "[{\"method\":\"GET\",\"contains\":\"list-type\",\"action\":\"endless\","
                      "\"times\":-1}]");
  auto const [reason, text] = failure_of([&] { list(account, at("dir")); });
  EXPECT_EQ(reason, FileInfoResult::unknown_error);
  EXPECT_NE(text.find(at("dir")), std::string::npos) << text;
  // The second answer repeats the first's token: two requests, then the refusal.
  EXPECT_EQ(requests(server().log(bucket), {"GET", "list-type="}), 2);
}

TEST_F(S3Faults, AnAnswerThatIsNoCompleteListingIsNoEmptyFolder) {
  upload(local("a", "a", 1'000'000'000), account, at("dir/a"));
  char const* const answers[] = {
      "<Error><Message>busy</Message></Error>",
      "<ListBucketResult><Contents><Key>dir/a</Key></Contents><IsTruncated>true</IsTruncated>"
      "</ListBucketResult>",
  };
  for (char const* answer : answers) {
    SCOPED_TRACE(answer);
    server().set_faults(bucket, "[" + rule("GET", "list-type", "status", 200, answer) + "]");
    EXPECT_EQ(failure_of([&] { list(account, at("dir")); }).first, FileInfoResult::unknown_error);
  }
  server().set_faults(bucket, "[]");
  ASSERT_EQ(list(account, at("dir")).size(), 1u);
}

TEST_F(S3Faults, ErrorAnswersCarryTheServersMessage) {
  server().set_faults(bucket, "[" +
                                  rule("GET", "list-type", "status", 404,
                                       "<Error><Code>NoSuchBucket</Code><Message>The specified "
                                       "bucket does not exist</Message></Error>") +
                                  "," +
                                  rule("PUT", "/copy", "status", 200,
                                       "<Error><Message>copy failed</Message></Error>") +
                                  "]");
  EXPECT_EQ(failure_of([&] { list(account, at("x")); }),
            std::make_pair(FileInfoResult::file_not_exist,
                           std::string("S3 HTTP 404: The specified bucket does not exist")));
  upload(local("a", "a", 1'000'000'000), account, at("a"));
  EXPECT_EQ(failure_of([&] { move(account, at("a"), at("copy")); }),
            std::make_pair(FileInfoResult::unknown_error, std::string("S3 HTTP 200: copy failed")));
  EXPECT_TRUE(stat(account, at("a"))) << "a failed copy leaves the source";
}

}  // namespace
