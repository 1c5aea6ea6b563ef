// A scripted phone (tests/support/fake_phone.sh): a client certificate of its own, made by the
// openssl CLI, and one TLS, plain TCP or discovery exchange per call, each a child process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace test_support {

class FakePhone {
 public:
  // Makes (or reuses) the certificate `name` in `dir`; fingerprint() is empty when that failed.
  FakePhone(std::filesystem::path dir, std::string const& name);
  FakePhone(FakePhone const&) = delete;
  FakePhone& operator=(FakePhone const&) = delete;

  std::string const& fingerprint() const { return fingerprint_; }

  struct Options {
    bool certificate = true;  // present the client certificate
    bool tls12 = false;       // offer TLS 1.2 at most
    double trickle = 0;       // seconds between single bytes
    bool idle = false;        // handshake, then send nothing
    std::string host = "127.0.0.1";
    std::string close_after;  // when set: close as soon as this text arrived
  };
  struct Exchange {
    bool handshake = false;
    std::string server_fingerprint;
    std::string reply;  // every byte up to the server's close
  };
  // Sends `request` over TLS to the port and reads until the server closes.
  Exchange tls(std::uint16_t port, std::string const& request, Options const& options) const;
  Exchange tls(std::uint16_t port, std::string const& request) const {
    return tls(port, request, Options{});
  }
  // The same bytes over plain TCP; the answer up to the close.
  std::string raw(std::uint16_t port, std::string const& bytes) const;
  // One discovery datagram to host:port; the answer, or "none" after `wait` seconds.
  std::string discover(std::uint16_t port, std::string const& datagram,
                       std::string const& host = "127.0.0.1", bool broadcast = false,
                       double wait = 2) const;

 private:
  std::filesystem::path dir_;
  std::string name_;
  std::string fingerprint_;
  mutable int calls_ = 0;
};

}  // namespace test_support
