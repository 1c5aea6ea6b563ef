// A test's own loopback OneDrive or Dropbox (tests/support/fake_store.sh), an account that names
// it, the token endpoint pointed at it, and the request log read back as records.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/cloud/Entry.h"
#include "core/config/Accounts.h"
#include "core/run/CopyResult.h"
#include "core/run/RunContext.h"
#include "support/fake_store.h"
#include "support/temp_dir.h"

namespace drive_test {

namespace fs = std::filesystem;

// One logged request of the fake store.
struct Logged {
  std::string method, path, auth, range, arg;
  std::uint64_t length = 0;
};

// Deterministic bytes of the given size.
std::string bytes_of(std::size_t size);
// A local file of `content` whose time is `mtime` (Unix seconds).
void make_file(fs::path const& file, std::string const& content, std::int64_t mtime);
std::int64_t mtime_of(fs::path const& file);

// Stops the thread's transfers once more than `after` bytes of a file were reported.
class StopAfter : public KVO_Core::ProgressSink {
 public:
  StopAfter(std::atomic<bool>& flag, std::uint64_t after) : flag_(flag), after_(after) {}
  void copied_bytes(std::uint64_t bytes) override {
    if (bytes > after_) flag_ = true;
  }
  void progress_message(std::wstring const&, std::wstring const&, std::uint64_t) override {}
  void note(Utilities::LogLevel, std::string const&) override {}

 private:
  std::atomic<bool>& flag_;
  std::uint64_t after_;
};

class DriveTest : public ::testing::Test {
 protected:
  // `store` is "onedrive" or "dropbox".
  explicit DriveTest(std::string const& store);
  ~DriveTest() override;
  // Points the providers' token and content endpoints at the fake store.
  void SetUp() override;

  using Upload = std::function<KVO_Core::CopyResult(fs::path const&, std::string const&)>;
  struct Fault {
    std::string rules;  // for FakeStore::set_faults
    int reason;         // of the failure the upload must throw
  };
  // Each fault fails an upload of `size` bytes to "/f" with its reason and leaves the file the
  // store held before; then the upload completes.
  void expect_nothing_committed(Upload const& upload, std::size_t size,
                                std::vector<Fault> const& faults);
  // A stop once more than `after` bytes went up ends the upload as Cancelled with nothing stored.
  void expect_stop_cancels(Upload const& upload, std::size_t size, std::uint64_t after);

  // A store's operations on the test's account.
  struct Operations {
    std::function<void(std::string const&)> make_directory;
    Upload upload;
    std::function<std::vector<KVO_Core::webdav::Entry>(std::string const&)> list;
    std::function<std::optional<KVO_Core::webdav::Entry>(std::string const&)> stat;
    std::function<KVO_Core::CopyResult(std::string const&, fs::path const&)> download;
    std::function<void(std::string const&, std::string const&)> move;
    std::function<void(std::string const&)> remove;
  };
  // Every operation on awkward names in an awkward folder: files go up, are listed, read and
  // fetched back with their times; one moves to another folder; file and folder are removed;
  // the whole store cannot be, and its root is a folder. `after_uploads` looks at the requests
  // of the uploads; the requests log is read empty before the whole store's removal.
  void expect_awkward_names_kept(Operations const& store,
                                 std::function<void()> const& after_uploads = {});

  // The requests logged since the last call (or the start), in order.
  std::vector<Logged> requests();
  // Only those whose path contains `part`.
  std::vector<Logged> requests(std::string const& part);

  test_support::TempDir dir;
  test_support::FakeStore server;
  KVO_Core::SshAccount account;
  fs::path local;  // a folder for the test's local files
  std::atomic<bool> stop{false};

 private:
  KVO_Core::RunContext::StopOverride running_{stop};
};

}  // namespace drive_test
