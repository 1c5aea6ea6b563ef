// A loopback stand-in for a web store that a test cannot reach (tests/support/fake_store.sh):
// "onedrive" or "dropbox", keeping its files as real files below root(), logging every request
// and answering with the faults a test scripts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace test_support {

class FakeStore {
 public:
  FakeStore(std::filesystem::path const& dir, std::string const& store);
  ~FakeStore();
  FakeStore(FakeStore const&) = delete;
  FakeStore& operator=(FakeStore const&) = delete;

  bool started() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT" followed by `path`.
  std::string address(std::string const& path = "") const;
  // Where the store keeps its files.
  std::filesystem::path root() const { return dir_ / "root"; }

  // A JSON array of fault rules (fake_store_common.py), replacing the earlier ones.
  void set_faults(std::string const& rules) const;
  // A JSON object of the store's settings, replacing the earlier ones.
  void set_config(std::string const& settings) const;

  // One JSON object per request since the start or the last forget_requests(), in order.
  std::vector<std::string> requests() const;
  void forget_requests() const;

 private:
  std::filesystem::path dir_;
  std::uint16_t port_ = 0;
  int pid_ = 0;
};

}  // namespace test_support
