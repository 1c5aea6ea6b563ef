// Pairing offers for a front end, the hand-over of a new pairing, and how the PC names itself.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <array>

#include "core/config/Config.h"
#include "core/devicelink/DeviceLink.h"
#include "core/devicelink/LinkFiles.h"
#include "utilities/Codecs.h"

namespace KVO_Core {

namespace {

// The page that hands the fragment to the phone's application; it must not change between builds.
constexpr char const PAIRING_ADDRESS[] = "https://pellimoravin.app/pair";

}  // namespace

std::string pc_name() { return host_name_or("PC"); }

std::vector<std::string> local_ipv4_addresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (!(entry->ifa_flags & IFF_RUNNING) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
    std::array<char, INET_ADDRSTRLEN> text{};
    auto const* address = reinterpret_cast<sockaddr_in const*>(entry->ifa_addr);
    if (::inet_ntop(AF_INET, &address->sin_addr, text.data(), text.size()))
      addresses.emplace_back(text.data());
  }
  ::freeifaddrs(list);
  return addresses;
}

std::string qr_content(PairingOffer const& offer) {
  std::string addresses;
  for (std::string const& address : offer.addresses) {
    if (!addresses.empty()) addresses += ",";
    addresses += address;
  }
  return std::string(PAIRING_ADDRESS) + "#v=1&n=" + Utilities::percent::encoded(offer.name) +
         "&a=" + addresses + "&p=" + std::to_string(offer.port) + "&f=" + offer.fingerprint +
         "&t=" + offer.token + "&e=" + std::to_string(offer.expires);
}

PairingOffer DeviceLink::offer() {
  PairingOffer result;
  result.name = pc_name();
  result.addresses = local_ipv4_addresses();
  if (running.load()) {
    result.port = port.load();
  } else if (hosted_elsewhere()) {
    int const stored = link_files::first_line_number(dir / "devicelink.port");
    if (stored > 0 && stored <= 65535) result.port = static_cast<std::uint16_t>(stored);
  }
  result.fingerprint = fingerprint();
  result.token = pairing.token();
  if (result.token.empty()) result.token = pairing.begin();
  result.expires = pairing.expires();
  return result;
}

std::optional<Device> DeviceLink::take_paired() {
  std::lock_guard lock(mutex);
  if (dir.empty()) return std::nullopt;
  auto const lines = link_files::read_lines(dir / "pairing.done");
  if (lines.size() < 4) return std::nullopt;
  std::error_code ec;
  std::filesystem::remove(dir / "pairing.done", ec);
  Device device{lines[0], lines[1], lines[2], lines[3]};
  if (!valid_device_id(device.id)) return std::nullopt;
  Config& config = *Config::instance();
  if (config.find_device(device.id))
    config.update_device(device);
  else
    config.add(device, false);
  return device;
}

}  // namespace KVO_Core
