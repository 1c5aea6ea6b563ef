// The link to paired phones, as far as the service needs it now: whether it runs, starting and
// stopping it, and the state of a phone's pass. The link itself is not built yet: start fails
// quietly (the daemon retries it once a minute while devices are paired), and no phone is ever
// being served.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

namespace KVO_Core {

class DeviceLink {
 public:
  // The one link, made on first use; never null.
  static DeviceLink& instance();
  // The folder of the link's files (the configuration's folder).
  static std::filesystem::path default_dir();

  // True while the link's thread runs.
  std::atomic<bool> running{false};

  // Starts the link on the TCP and UDP ports; false when it could not start (always, for now).
  bool start(std::filesystem::path const& dir, std::uint16_t tcp_port, std::uint16_t udp_port);
  // Ends the link and any phone's pass it serves; nothing when not running.
  void stop();
  // Whether the phone with that account name (its device id) is being served now.
  bool serving(std::string const& account) const;
  // Tells the link that one of the served phone's items has passed.
  void item_passed(std::string const& account, std::wstring const& item_name);

 private:
  DeviceLink() = default;
};

}  // namespace KVO_Core
