// The pairing window: a one-time token valid for ten minutes, kept in "pairing.token" in the link
// directory so that the process that shows the offer and the one that runs the link can differ.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>

namespace KVO_Core {

class DevicePairing {
 public:
  struct Window {
    std::string token;        // empty when no window is open
    std::int64_t expiry = 0;  // Unix seconds
  };

  void set_dir(std::filesystem::path const& dir);
  // dir / "pairing.token".
  std::filesystem::path token_file() const;

  // Opens a new window and returns its token, also when it could not be stored (then no window
  // is open); empty when no random bytes could be had.
  std::string begin();
  // Closes the window.
  void end();
  // A window is open.
  bool open() const;
  // True when `token` is the open window's token; the window is then closed. Five wrong tokens
  // close it too. A token that was redeemed or closed this way never counts again in this
  // process, even when its file could not be removed.
  bool redeem(std::string const& token);
  // Of the open window; empty and 0 when none.
  std::string token() const;
  std::int64_t expires() const;

 private:
  // The open window; the caller holds the mutex.
  Window read() const;
  void close_window(std::string const& token);

  std::filesystem::path dir;
  mutable std::mutex mutex;
  int failures = 0;
  std::string failures_token;   // the token the failures were counted against
  std::set<std::string> spent;  // tokens that may never pair again
};

// `count` random bytes as lower-case hex; empty when the random source fails.
std::string random_hex(std::size_t count);

}  // namespace KVO_Core
