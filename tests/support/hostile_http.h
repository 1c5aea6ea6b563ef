// A loopback HTTP server of the test's own whose answers misbehave (tests/support/hostile_http.py):
// "deep", "huge", "endless", "reset" (a relay to `target` that resets both sides once `after`
// bytes of a request body have passed), or "answer" (`status` with `body` to every request).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace test_support {

class HostileHttp {
 public:
  HostileHttp(std::filesystem::path const& dir, std::string const& mode, std::uint16_t target = 0,
              std::uint64_t after = 0);
  HostileHttp(std::filesystem::path const& dir, int status, std::string const& body);
  ~HostileHttp();
  HostileHttp(HostileHttp const&) = delete;
  HostileHttp& operator=(HostileHttp const&) = delete;

  bool started() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }

 private:
  void start(std::filesystem::path const& dir, std::string const& mode,
             std::string const& arguments);

  std::uint16_t port_ = 0;
  int pid_ = 0;
};

}  // namespace test_support
