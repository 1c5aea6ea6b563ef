// What the link remembers of the phones it heard from, and the file that shows it to other
// processes.
#include <sstream>

#include "core/devicelink/DeviceLink.h"
#include "core/devicelink/LinkFiles.h"

namespace KVO_Core {

void DeviceLink::note_present(std::string const& id, DevicePresence const& presence) {
  std::lock_guard lock(mutex);
  present[id] = presence;
}

bool DeviceLink::serving(std::string const& account) const {
  std::lock_guard lock(mutex);
  auto const found = present.find(account);
  return found != present.end() && found->second.serving;
}

void DeviceLink::item_passed(std::string const&, std::wstring const& item_name) {
  {
    std::lock_guard lock(mutex);
    pending.erase(item_name);
  }
  pass_changed.notify_all();
}

void DeviceLink::item_skipped(std::string const&, std::wstring const& item_name) {
  {
    std::lock_guard lock(mutex);
    if (pending.erase(item_name) == 0) return;
    skipped.insert(item_name);
  }
  pass_changed.notify_all();
}

void DeviceLink::write_presence_file() const {
  std::string text;
  {
    std::lock_guard lock(mutex);
    for (auto const& [id, phone] : present)
      text += id + " " + phone.ip + " " + std::to_string(phone.sftp_port) + " " +
              std::to_string(phone.seen) + "\n";
  }
  if (!dir.empty()) link_files::write(dir / "devices.presence", text);
}

std::optional<DevicePresence> DeviceLink::presence(std::string const& device_id) const {
  {
    std::lock_guard lock(mutex);
    auto const found = present.find(device_id);
    if (found != present.end()) return found->second;
  }
  if (running.load() || dir.empty()) return std::nullopt;
  for (std::string const& line : link_files::read_lines(dir / "devices.presence")) {
    std::istringstream fields(line);
    std::string id;
    DevicePresence phone;
    long port = 0;
    if (!(fields >> id >> phone.ip >> port >> phone.seen) || port < 0 || port > 65535) continue;
    if (id != device_id) continue;
    phone.sftp_port = static_cast<std::uint16_t>(port);
    return phone;
  }
  return std::nullopt;
}

}  // namespace KVO_Core
