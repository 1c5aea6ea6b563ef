#include "core/devicelink/DeviceLink.h"

#include "core/config/Config.h"
#include "utilities/Paths.h"

namespace KVO_Core {

DeviceLink& DeviceLink::instance() {
  static DeviceLink link;
  return link;
}

std::filesystem::path DeviceLink::default_dir() {
  return Utilities::to_path(Config::get_root_pathname()).parent_path();
}

bool DeviceLink::start(std::filesystem::path const&, std::uint16_t, std::uint16_t) { return false; }

void DeviceLink::stop() { running = false; }

bool DeviceLink::serving(std::string const&) const { return false; }

void DeviceLink::item_passed(std::string const&, std::wstring const&) {}

}  // namespace KVO_Core
