// The test run's loopback S3 server (tests/support/s3_server.sh: moto checking every signature),
// and the unsigned controls of its wrapper: buckets, objects put behind the store's back, open
// multipart uploads, injected faults and the log of requests per bucket.
#pragma once

#include <cstdint>
#include <string>

namespace test_support {

class S3Server {
 public:
  // The server that the test run's setup started, or else one of this process's own, stopped
  // when the process ends. Check started(): a server that did not start fails the test.
  static S3Server& shared();

  bool started() const { return !endpoint_.empty(); }
  std::string const& endpoint() const { return endpoint_; }
  std::string const& access_key() const { return access_key_; }
  std::string const& secret_key() const { return secret_key_; }
  std::string const& region() const { return region_; }
  // Why the server is not there; empty when it is.
  std::string const& problem() const { return problem_; }

  // A new empty bucket whose name no other test of the run uses.
  std::string new_bucket() const;
  // Stores `content` under `key` without any metadata, as another tool would.
  void put_object(std::string const& bucket, std::string const& key,
                  std::string const& content) const;
  // `count` empty objects named prefix00000, prefix00001, ...
  void put_empty_objects(std::string const& bucket, std::string const& prefix, int count) const;
  // Multipart uploads started in the bucket and neither completed nor aborted.
  int open_uploads(std::string const& bucket) const;
  // Replaces the bucket's fault rules (a JSON list; s3_test_server.py describes them).
  void set_faults(std::string const& bucket, std::string const& rules_json) const;
  // "METHOD URI STATUS" lines of every request to the bucket so far.
  std::string log(std::string const& bucket) const;

  ~S3Server();
  S3Server(S3Server const&) = delete;
  S3Server& operator=(S3Server const&) = delete;

 private:
  S3Server();
  bool read_credentials(std::string const& text);

  std::string dir_;  // set only for a server this process started
  std::string endpoint_, access_key_, secret_key_, region_, problem_;
};

}  // namespace test_support
