// A loopback Apache mod_dav server of the test's own (tests/support/webdav_server.sh) with
// basic auth (user(), password()). url("dav") serves the folder root() plainly, url("dav301")
// answers a folder URL without "/" with a redirect, url("davoc") says on every PUT that it
// kept the time. With https the certificate comes from the test CA at ca().
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace test_support {

class WebdavServer {
 public:
  explicit WebdavServer(std::filesystem::path const& dir, bool https = false);
  ~WebdavServer();
  WebdavServer(WebdavServer const&) = delete;
  WebdavServer& operator=(WebdavServer const&) = delete;

  bool started() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  // The base address of one of the three views, ending in "/".
  std::string url(std::string const& view = "dav") const;
  std::filesystem::path root() const { return dir_ / "data"; }
  std::filesystem::path ca() const { return dir_ / "ca.pem"; }
  static std::string user() { return "davuser"; }
  static std::string password() { return "davpass"; }
  // Hands what the test put below root() itself to the server's user.
  void adopt() const;

 private:
  std::filesystem::path dir_;
  bool https_;
  std::uint16_t port_ = 0;
  int pid_ = 0;
};

}  // namespace test_support
