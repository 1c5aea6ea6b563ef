// One accepted connection: the handshake, the phone's one request line and its answer.
#include <sys/socket.h>

#include <algorithm>
#include <ctime>
#include <exception>

#include <boost/property_tree/ptree.hpp>

#include "core/config/Config.h"
#include "core/config/JsonDepth.h"
#include "core/config/JsonRead.h"
#include "core/devicelink/DeviceLink.h"
#include "core/devicelink/LinkFiles.h"
#include "core/devicelink/LinkJson.h"
#include "core/devicelink/TlsSession.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace {

using Tree = boost::property_tree::wptree;
using Utilities::util::string_to_wstring;
using Utilities::util::wstring_to_string;

std::atomic<long> idle_ms{3000};
std::atomic<long> total_ms{10000};
constexpr long REPLY_IDLE_MS = 10000;

constexpr std::size_t MAX_REQUEST = 65536;
constexpr std::size_t MAX_REQUEST_DEPTH = MAX_JSON_DEPTH;
constexpr std::size_t MAX_HOST_KEY = 8192;
constexpr std::size_t MAX_TEXT = 1024;

class BadRequest : public std::exception {};

std::string text_at(Tree const& tree, wchar_t const* key, std::size_t limit = MAX_TEXT) {
  auto const value = tree.get_optional<std::wstring>(key);
  if (!value) return {};
  std::string text = wstring_to_string(*value);
  if (text.size() > limit) throw BadRequest();
  return text;
}

std::uint16_t port_at(Tree const& tree, wchar_t const* key) {
  std::string const text = text_at(tree, key);
  std::size_t at = text.find_first_not_of(" \t\r\n");
  if (at == std::string::npos) return 0;
  bool negative = false;
  if (text[at] == '-' || text[at] == '+') negative = text[at++] == '-';
  long value = 0;
  std::size_t digits = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
    value = value * 10 + (text[at] - '0');
    if (value > 65535) return 0;
  }
  if (digits == 0 || negative || text.find_first_not_of(" \t\r\n", at) != std::string::npos)
    return 0;
  return static_cast<std::uint16_t>(value);
}

// A host key goes into the configuration and the known-hosts check as one line of text.
bool plain_line(std::string const& text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    auto const byte = static_cast<unsigned char>(c);
    return byte < 32 || byte == 127;
  });
}

std::int64_t unix_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace

void DeviceLink::set_session_limits(std::chrono::milliseconds idle,
                                    std::chrono::milliseconds total) {
  idle_ms = idle.count();
  total_ms = total.count();
}

void DeviceLink::session(platform::FileDescriptor connection, std::string const& peer) {
  auto const deadline = TlsSession::Clock::now() + std::chrono::milliseconds(total_ms.load());
  TlsSession tls_session(tls.get(), connection.get(), stop_flag,
                         std::chrono::milliseconds(idle_ms.load()));
  std::string error;
  if (!tls_session.handshake(deadline, error)) {
    Utilities::log_at(Utilities::LogLevel::Debug,
                      Utilities::translation::translate("device_link_handshake_failed"),
                      string_to_wstring(peer), string_to_wstring(error));
    return;
  }
  std::string const fingerprint = tls_session.peer_fingerprint();
  auto const line = tls_session.read_line(MAX_REQUEST, deadline);
  if (!line) return;
  tls_session.set_idle(std::chrono::milliseconds(std::max(REPLY_IDLE_MS, idle_ms.load())));
  handle(*line, fingerprint, peer,
         [&tls_session](std::string const& text) { return tls_session.write(text); });
}

void DeviceLink::handle(std::string const& line, std::string const& fingerprint,
                        std::string const& peer, Reply const& reply) {
  Tree tree;
  try {
    check_json_depth(line, MAX_REQUEST_DEPTH);
    tree = json_read::parse(line);
  } catch (std::exception const&) {
    reply(link_json::error_line("bad_request"));
    return;
  }
  try {
    std::string const type = text_at(tree, L"type");
    if (fingerprint.empty()) {
      reply(link_json::error_line("certificate_missing"));
    } else if (type == "pair") {
      PairRequest request;
      request.token = text_at(tree, L"token");
      request.device.id = text_at(tree, L"device.id");
      request.device.name = text_at(tree, L"device.name");
      request.device.certFingerprint = fingerprint;
      request.device.sshHostKey = text_at(tree, L"device.sshHostKey", MAX_HOST_KEY);
      request.sftp_port = port_at(tree, L"device.sftpPort");
      request.app_version = text_at(tree, L"appVersion");
      reply(pair(request, peer));
    } else if (type == "hello") {
      HelloRequest request;
      request.device_id = text_at(tree, L"deviceId");
      request.sftp_port = port_at(tree, L"sftpPort");
      request.sftp_user = text_at(tree, L"sftpUser");
      request.sftp_password = text_at(tree, L"sftpPassword");
      request.serving = text_at(tree, L"serving") == "true";
      request.app_version = text_at(tree, L"appVersion");
      hello(request, fingerprint, peer, reply);
    } else {
      reply(link_json::error_line("bad_request"));
    }
  } catch (BadRequest const&) {
    reply(link_json::error_line("bad_request"));
  }
}

std::string DeviceLink::pair(PairRequest const& request, std::string const& peer) {
  if (!pairing.open()) {
    Utilities::log_at(Utilities::LogLevel::Warning,
                      Utilities::translation::translate(
                          "device_pairing_rejected", {string_to_wstring(peer), L"pairing_closed"}));
    return link_json::error_line("pairing_closed");
  }
  if (!valid_device_id(request.device.id) || !valid_device_name(request.device.name) ||
      !plain_line(request.device.sshHostKey))
    return link_json::error_line("bad_request");
  if (!pairing.redeem(request.token)) {
    Utilities::log_at(Utilities::LogLevel::Warning,
                      Utilities::translation::translate(
                          "device_pairing_rejected", {string_to_wstring(peer), L"token_invalid"}));
    return link_json::error_line("token_invalid");
  }

  Config& config = *Config::instance();
  if (config.find_device(request.device.id))
    config.update_device(request.device);
  else
    config.add(request.device, false);
  Device const& device = request.device;
  link_files::write(dir / "pairing.done", device.id + "\n" + device.name + "\n" +
                                              device.certFingerprint + "\n" + device.sshHostKey +
                                              "\n");
  note_present(device.id, DevicePresence{peer, request.sftp_port, "", "", request.app_version,
                                         unix_now(), false});
  write_presence_file();
  Utilities::log_at(Utilities::LogLevel::Info, Utilities::translation::translate(
                                                   "device_paired", {string_to_wstring(device.name),
                                                                     string_to_wstring(peer)}));
  return "{\"type\":\"paired\",\"pc\":" + pc_json() + "}\n";
}

void DeviceLink::hello(HelloRequest const& request, std::string const& fingerprint,
                       std::string const& peer, Reply const& reply) {
  auto const device = Config::instance()->find_device(request.device_id);
  if (!device || device->certFingerprint != fingerprint) {
    Utilities::log_at(
        Utilities::LogLevel::Warning,
        Utilities::translation::translate("device_hello_rejected", {string_to_wstring(peer)}));
    reply(link_json::error_line("unknown_device"));
    return;
  }
  note_present(device->id,
               DevicePresence{peer, request.sftp_port, request.sftp_user, request.sftp_password,
                              request.app_version, unix_now(), false});
  write_presence_file();
  Utilities::log_at(
      Utilities::LogLevel::Debug,
      Utilities::translation::translate(
          "device_hello", {string_to_wstring(device->name), string_to_wstring(peer)}));

  auto const items = items_of(device->id);
  std::string line = "{\"type\":\"items\",\"pc\":" + pc_json() + ",\"items\":[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) line += ",";
    line += "{\"name\":" + link_json::string(wstring_to_string(items[i].name)) +
            ",\"direction\":" + link_json::string(items[i].direction) +
            ",\"enabled\":" + (items[i].enabled ? "true" : "false") + "}";
  }
  line += "]}\n";
  if (!reply(line)) return;
  bool const any_enabled =
      std::any_of(items.begin(), items.end(), [](DeviceItem const& i) { return i.enabled; });
  if (request.serving && request.sftp_port != 0 && any_enabled)
    serve(*device, request, reply);
  else
    reply("{\"type\":\"idle\"}\n");
}

std::vector<DeviceItem> DeviceLink::items_of(std::string const& device_id) {
  std::vector<DeviceItem> found;
  for (SyncItem const& item : Config::instance()->syncitems()) {
    auto const on_phone = [&](std::unique_ptr<SyncPath> const& side) {
      SshPath const* remote = item.ssh_path(side);
      return remote != nullptr && remote->account().name() == device_id;
    };
    bool const source = on_phone(item.source());
    bool const target = on_phone(item.target());
    if (!source && !target) continue;
    std::string direction = "toPhone";
    if (item.flags.twoWaySync || (source && target))
      direction = "both";
    else if (source)
      direction = "toPc";
    found.push_back(DeviceItem{item.name, direction, item.flags.enabled});
  }
  return found;
}

std::string DeviceLink::pc_json() const {
  return "{\"name\":" + link_json::string(pc_name()) +
         ",\"fingerprint\":" + link_json::string(fingerprint()) + ",\"version\":\"1\"}";
}

}  // namespace KVO_Core
