// The loopback token endpoint and Drive files interface of tests/support/fake_cloud.py, one
// child process per object, and its control calls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace test_support {

class FakeCloud {
 public:
  // Starts the server; started() is false when it did not come up within ten seconds.
  explicit FakeCloud(std::filesystem::path const& dir);
  ~FakeCloud();
  FakeCloud(FakeCloud const&) = delete;
  FakeCloud& operator=(FakeCloud const&) = delete;

  bool started() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string base() const;
  // POSTs the JSON body to /_control/<command>; the answer's body ("" when the call failed).
  std::string control(std::string const& command, std::string const& json = "{}") const;

 private:
  std::uint16_t port_ = 0;
  int pid_ = 0;
};

}  // namespace test_support
