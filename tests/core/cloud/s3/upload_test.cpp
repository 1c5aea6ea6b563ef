// Uploads at the sizes where one PUT turns into parts, read back byte for byte with their time,
// and a stop in the middle of a multipart upload.
#include "s3_fixture.h"

namespace {

using namespace s3_test;
using S3Upload = S3Test;

constexpr std::size_t MiB = 1024 * 1024;

TEST_F(S3Upload, EverySizeArrivesByteIdenticalWithItsTime) {
  struct Case {
    std::size_t size;
    int parts;  // 0: one PUT
  } const cases[] = {{0, 0}, {16 * MiB, 0}, {16 * MiB + 1, 2}, {40 * MiB, 3}};
  for (Case const& c : cases) {
    SCOPED_TRACE(c.size);
    std::string const name = "size-" + std::to_string(c.size);
    std::string const content = random_bytes(c.size, static_cast<unsigned>(c.size));
    fs::path const file = local(name, content, 1'500'000'000 + static_cast<std::time_t>(c.size));
    ASSERT_EQ(upload(file, account, at(name)), CopyResult::Done);

    std::optional<webdav::Entry> const entry = stat(account, at(name));
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->size, c.size);
    EXPECT_EQ(entry->mtime, mtime_of(file));
    fs::path const back = dir.path() / (name + ".back");
    ASSERT_EQ(download(account, at(name), back), CopyResult::Done);
    EXPECT_TRUE(read_file(back) == content);
    EXPECT_EQ(mtime_of(back), mtime_of(file));

    std::string const log = server().log(bucket);
    std::string const path = "/" + name;
    EXPECT_EQ(requests(log, {"POST", path.c_str(), "uploads="}), c.parts ? 1 : 0);
    EXPECT_EQ(requests(log, {"PUT", path.c_str(), "partNumber="}), c.parts);
    EXPECT_EQ(requests(log, {"PUT", path.c_str(), " 200"}), c.parts ? c.parts : 1);
  }
  EXPECT_EQ(server().open_uploads(bucket), 0);
}

TEST_F(S3Upload, ReplacingGivesTheNewContent) {
  upload(local("f", std::string(17 * MiB, 'a'), 1'000'000'000), account, at("f"));
  upload(local("f", "short now", 1'000'000'100), account, at("f"));
  fs::path const back = dir.path() / "back";
  download(account, at("f"), back);
  EXPECT_EQ(read_file(back), "short now");
  EXPECT_EQ(mtime_of(back), 1'000'000'100);
}

// Stops the run once the copy has gone past `limit` bytes of the file.
class StopAfter : public ProgressSink {
 public:
  StopAfter(std::atomic<bool>& stop, std::uint64_t limit) : stop_(stop), limit_(limit) {}
  void copied_bytes(std::uint64_t bytes) override {
    seen = std::max<std::uint64_t>(seen, bytes);
    if (bytes > limit_) stop_ = true;
  }
  void progress_message(std::wstring const&, std::wstring const&, std::uint64_t) override {}
  void note(Utilities::LogLevel, std::string const&) override {}
  std::atomic<std::uint64_t> seen{0};

 private:
  std::atomic<bool>& stop_;
  std::uint64_t limit_;
};

TEST_F(S3Upload, StopDuringAPartAbortsTheUploadAndKeepsTheOldObject) {
  upload(local("old", "the old object", 1'000'000'000), account, at("big"));
  fs::path const file = local("big", random_bytes(40 * MiB, 7), 1'700'000'000);
  StopAfter sink(stop, 20 * MiB);
  ProgressSink* const previous = RunContext::set_progress_sink(&sink);
  CopyResult const result = upload(file, account, at("big"));
  RunContext::set_progress_sink(previous);
  EXPECT_EQ(result, CopyResult::Cancelled);
  // Progress counts the whole file, part after part.
  EXPECT_GT(sink.seen, 16 * MiB);
  EXPECT_EQ(server().open_uploads(bucket), 0);
  EXPECT_EQ(requests(server().log(bucket), {"DELETE", "/big?uploadId="}), 1);

  stop = false;
  fs::path const back = dir.path() / "back";
  ASSERT_EQ(download(account, at("big"), back), CopyResult::Done);
  EXPECT_EQ(read_file(back), "the old object");
  EXPECT_EQ(mtime_of(back), 1'000'000'000);
}

TEST_F(S3Upload, StopDuringADownloadCancelsIt) {
  // Large beside the point of the stop: loopback answers fill the receive buffers fast.
  upload(local("f", random_bytes(40 * MiB, 3), 1'000'000'000), account, at("f"));
  StopAfter sink(stop, MiB);
  ProgressSink* const previous = RunContext::set_progress_sink(&sink);
  fs::path const back = local("back", "before", 1'200'000'000);
  CopyResult const result = download(account, at("f"), back);
  RunContext::set_progress_sink(previous);
  EXPECT_EQ(result, CopyResult::Cancelled);
  EXPECT_LT(fs::file_size(back), 40 * MiB);
  EXPECT_NE(mtime_of(back), 1'000'000'000) << "the object's time is not set on a partial file";
}

}  // namespace
