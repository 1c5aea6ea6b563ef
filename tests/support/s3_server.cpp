#include "support/s3_server.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <filesystem>
#include <sstream>

#include "support/temp_dir.h"

namespace test_support {

namespace {

std::string script() { return std::string(PELLI_SOURCE_DIR) + "/tests/support/s3_server.sh"; }

// The folder where the test run's setup starts its server.
std::filesystem::path run_dir() { return std::filesystem::path(PELLI_BINARY_DIR) / "s3-server"; }

std::string query_encoded(std::string const& text) {
  static char const digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

}  // namespace

S3Server& S3Server::shared() {
  static S3Server server;
  return server;
}

S3Server::S3Server() {
  std::string const from_setup = read_file(run_dir() / "credentials");
  std::istringstream words(read_file(run_dir() / "s3.pid"));
  int pid = 0;
  words >> pid;
  if (pid > 0 && ::kill(pid, 0) == 0 && read_credentials(from_setup)) return;
  std::string base = std::filesystem::temp_directory_path() / "pelli-s3-XXXXXX";
  if (!mkdtemp(base.data())) {
    problem_ = "mkdtemp failed";
    return;
  }
  dir_ = base;
  std::string const out = run_output(script() + " start " + shell_quoted(dir_) + " 2>&1");
  if (!read_credentials(out)) problem_ = "the S3 server did not start: " + out;
}

S3Server::~S3Server() {
  if (dir_.empty()) return;
  run(script() + " stop " + shell_quoted(dir_));
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

bool S3Server::read_credentials(std::string const& text) {
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    std::size_t const eq = word.find('=');
    if (eq == std::string::npos) continue;
    std::string const name = word.substr(0, eq), value = word.substr(eq + 1);
    if (name == "endpoint") endpoint_ = value;
    if (name == "access_key") access_key_ = value;
    if (name == "secret_key") secret_key_ = value;
    if (name == "region") region_ = value;
  }
  if (endpoint_.empty() || access_key_.empty() || secret_key_.empty()) endpoint_.clear();
  return started();
}

std::string S3Server::new_bucket() const {
  static std::atomic<int> counter{0};
  std::string const name =
      "kvo-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
  run("curl -sf -X POST " + shell_quoted(endpoint_ + "/kvo-test/bucket/" + name) + " >/dev/null");
  return name;
}

void S3Server::put_object(std::string const& bucket, std::string const& key,
                          std::string const& content) const {
  TempDir scratch;
  write_file(scratch / "body", content);
  run("curl -sf -X POST --data-binary @" + shell_quoted((scratch / "body").string()) + " " +
      shell_quoted(endpoint_ + "/kvo-test/object/" + bucket + "?key=" + query_encoded(key)) +
      " >/dev/null");
}

void S3Server::put_empty_objects(std::string const& bucket, std::string const& prefix,
                                 int count) const {
  run("curl -sf -X POST " +
      shell_quoted(endpoint_ + "/kvo-test/objects/" + bucket + "?prefix=" + query_encoded(prefix) +
                   "&count=" + std::to_string(count)) +
      " >/dev/null");
}

int S3Server::open_uploads(std::string const& bucket) const {
  std::string const out =
      run_output("curl -sf " + shell_quoted(endpoint_ + "/kvo-test/uploads/" + bucket));
  return out.empty() ? -1 : std::stoi(out);
}

void S3Server::set_faults(std::string const& bucket, std::string const& rules_json) const {
  run("curl -sf -X POST --data-binary " + shell_quoted(rules_json) + " " +
      shell_quoted(endpoint_ + "/kvo-test/faults/" + bucket) + " >/dev/null");
}

std::string S3Server::log(std::string const& bucket) const {
  return run_output("curl -sf " + shell_quoted(endpoint_ + "/kvo-test/log/" + bucket));
}

}  // namespace test_support
