// A bucket of its own on the run's loopback S3 server for each test, an account for it, a temp
// folder, and a run that is not stopping (outside a pass every transfer would stop at once).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "core/cloud/http/Request.h"
#include "core/cloud/s3/S3Store.h"
#include "core/run/RunContext.h"
#include "support/s3_server.h"
#include "support/temp_dir.h"
#include "utilities/FileTime.h"

namespace s3_test {

namespace fs = std::filesystem;
using namespace KVO_Core;
using namespace KVO_Core::s3;
using test_support::read_file;
using test_support::write_file;

inline test_support::S3Server& server() { return test_support::S3Server::shared(); }

inline SshAccount account_of(test_support::S3Server const& s, std::string const& secret) {
  SshAccount account;
  account.set_name("store");
  account.kind = SshAccount::S3;
  account.url = s.endpoint() + "/";
  account.region = s.region();
  account.set_user(s.access_key());
  account.set_password(secret);
  return account;
}

inline std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937_64 generator(seed);
  std::string bytes(size, '\0');
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t const word = generator();
    std::memcpy(bytes.data() + i, &word, 8);
  }
  for (; i < size; ++i) bytes[i] = static_cast<char>(generator());
  return bytes;
}

// The number of lines of the request log that hold every one of the texts.
inline int requests(std::string const& log, std::initializer_list<char const*> texts) {
  int count = 0;
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string const line = log.substr(start, end - start);
    bool all = true;
    for (char const* t : texts) all = all && line.find(t) != std::string::npos;
    count += all ? 1 : 0;
    start = end + 1;
  }
  return count;
}

// The reason and text of the RemoteFailure that `operation` throws.
template <typename F>
std::pair<Utilities::FilesystemUtil::FileInfoResult, std::string> failure_of(F&& operation) {
  try {
    operation();
  } catch (RemoteFailure const& e) {
    return {e.reason, e.what()};
  }
  ADD_FAILURE() << "no failure";
  return {};
}

class S3Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server().started()) << server().problem();
    bucket = server().new_bucket();
    account = account_of(server(), server().secret_key());
  }

  std::string at(std::string const& path) const { return bucket + "/" + path; }

  // A local file with the content and a whole-second time of its own.
  fs::path local(std::string const& name, std::string const& content, std::time_t mtime) {
    fs::path const file = dir.path() / name;
    write_file(file, content);
    fs::last_write_time(file, Utilities::file_time::to_file_time(mtime));
    return file;
  }

  static std::time_t mtime_of(fs::path const& file) {
    return Utilities::file_time::to_time_t(fs::last_write_time(file));
  }

  test_support::TempDir dir;
  std::string bucket;
  SshAccount account;
  std::atomic<bool> stop{false};
  RunContext::StopOverride running{stop};
};

}  // namespace s3_test
