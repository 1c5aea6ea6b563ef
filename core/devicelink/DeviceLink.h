// The link to paired phones on the local network: a TLS 1.3 service and UDP discovery on port
// 52381 (or a free port), the pairing of new phones with one-time tokens and their hellos. One
// process of the user holds the link role (a file lock) and serves; a front end in another
// process uses the same directory for offers and hand-overs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/config/Accounts.h"
#include "core/devicelink/DeviceIdentity.h"
#include "core/devicelink/DevicePairing.h"
#include "core/devicelink/OpenSslHandles.h"
#include "core/devicelink/PassControl.h"
#include "platform/FileDescriptor.h"

namespace KVO_Core {

// What the link remembers of a phone it heard from.
struct DevicePresence {
  std::string ip;  // dotted IPv4, of its last connection
  std::uint16_t sftp_port = 0;
  std::string sftp_user;
  std::string sftp_password;  // never written to a file
  std::string app_version;
  std::int64_t seen = 0;  // Unix seconds of the last pair or hello
  bool serving = false;
};

// A "pair" request; the device's certFingerprint is the connection's.
struct PairRequest {
  std::string token;
  Device device;
  std::uint16_t sftp_port = 0;
  std::string app_version;
};

// A "hello" request.
struct HelloRequest {
  std::string device_id;
  std::uint16_t sftp_port = 0;
  std::string sftp_user;
  std::string sftp_password;
  bool serving = false;
  std::string app_version;
};

// One sync item as a phone sees it.
struct DeviceItem {
  std::wstring name;
  std::string direction;  // "toPhone", "toPc" or "both"
  bool enabled = false;
};

// What a front end shows to let a phone pair.
struct PairingOffer {
  std::string name;
  std::vector<std::string> addresses;
  std::uint16_t port = 0;
  std::string fingerprint;
  std::string token;
  std::int64_t expires = 0;
};

class DeviceLink {
 public:
  // Writes one reply line; true when every byte went out.
  using Reply = std::function<bool(std::string const&)>;

  // The one link, made on first use; never null. Its destructor stops it.
  static DeviceLink& instance();
  // The folder of the link's files (the configuration's folder).
  static std::filesystem::path default_dir();
  // Tests: the listener on loopback only and the role lock in the temporary folder. Never undone.
  static void use_private_scope();
  // Tests: the idle limit of one read or write and the limit of a whole request (handshake plus
  // request line); 3 s and 10 s unless set.
  static void set_session_limits(std::chrono::milliseconds idle, std::chrono::milliseconds total);
  // Tests: how long a phone's pass is waited for; an hour unless set.
  static void set_pass_limit(std::chrono::milliseconds limit);
  // The controller's side of a phone's pass (null: none, and a phone that asks for a pass hears
  // that nothing runs). The object must outlive the link's thread: set it before start, and
  // clear it only after stop.
  void set_pass_control(PassControl* control) { pass_control.store(control); }

  // True while the link's thread runs.
  std::atomic<bool> running{false};

  // Starts the link on the TCP and UDP ports (0: any free one); true when it runs afterwards.
  // False without an identity, when another process holds the role (logged once until the role
  // is had again) or when the TLS service cannot listen; a busy TCP port falls back to a free one.
  bool start(std::filesystem::path const& dir, std::uint16_t tcp_port, std::uint16_t udp_port);
  // Ends the link (after the connection in hand) and removes its port and presence files; safe
  // at any time.
  void stop();
  // Another live process serves the phones of this directory.
  bool hosted_elsewhere() const;
  // The loaded identity's fingerprint; empty when none.
  std::string fingerprint() const;
  // The TCP port listened on and the UDP port of discovery; 0 when none.
  std::uint16_t tcp_port() const { return port.load(); }
  std::uint16_t udp_port() const { return discovery_port.load(); }

  // Whether the phone with that account name (its device id) is being served now.
  bool serving(std::string const& account) const;
  // Tells the link that one of the served phone's items has passed.
  void item_passed(std::string const& account, std::wstring const& item_name);
  // Tells the link that the controller will not run one of the served phone's items now (outside
  // its schedule, or disabled): the pass stops waiting for it and ends incomplete.
  void item_skipped(std::string const& account, std::wstring const& item_name);
  // What the link knows of a phone: from memory, or (when this process does not run the link)
  // from "devices.presence".
  std::optional<DevicePresence> presence(std::string const& device_id) const;
  // Rewrites "devices.presence" from memory.
  void write_presence_file() const;

  // The sync items that have a side on the phone, in configuration order.
  static std::vector<DeviceItem> items_of(std::string const& device_id);

  // Pairing, for a front end: an offer (reusing an open window), the phone a pairing left in
  // "pairing.done" (then in the configuration, in memory), closing the window.
  PairingOffer offer();
  std::optional<Device> take_paired();
  DevicePairing pairing;

  // Unlocks and closes the role-lock file when held.
  void release_role();
  // Opens the discovery socket on the UDP port; false when it cannot.
  bool open_discovery(std::uint16_t udp_port);

  ~DeviceLink();
  DeviceLink(DeviceLink const&) = delete;
  DeviceLink& operator=(DeviceLink const&) = delete;

 private:
  DeviceLink() = default;

  void stop_locked();
  bool take_role();
  std::filesystem::path role_lock_path() const;
  bool prepare_tls();
  bool listen_on(std::uint16_t requested);
  void accept_loop();
  void answer_discovery();

  // One accepted connection, handled completely and closed.
  void session(platform::FileDescriptor connection, std::string const& peer);
  void handle(std::string const& line, std::string const& fingerprint, std::string const& peer,
              Reply const& reply);
  std::string pair(PairRequest const& request, std::string const& peer);
  void hello(HelloRequest const& request, std::string const& fingerprint, std::string const& peer,
             Reply const& reply);
  // A phone's sync pass; sends its lines through `reply`.
  void serve(Device const& device, HelloRequest const& request, Reply const& reply);
  // Gets the items run and waits, reporting progress, until none is pending, the controller
  // ended its passes, the link stops or the limit passed; true when every item passed.
  bool wait_for_pass(PassControl& control, std::string const& device_id,
                     std::vector<DeviceItem> const& items, Reply const& reply);
  // The phone is no longer served and its login is forgotten.
  void end_pass(std::string const& device_id);
  // The sum of the items' last recorded errors; a run that found its sides unreachable counts
  // as at least one.
  static std::uint64_t last_errors(std::vector<DeviceItem> const& items);
  void note_present(std::string const& id, DevicePresence const& presence);
  std::string pc_json() const;

  std::optional<DeviceIdentity> identity;
  openssl::SslCtx tls;
  platform::FileDescriptor listener;
  platform::FileDescriptor discovery;
  std::atomic<std::uint16_t> discovery_port{0};
  std::filesystem::path dir;
  platform::FileDescriptor role_lock;
  std::atomic<std::uint16_t> port{0};
  std::atomic<bool> stop_flag{false};
  std::thread thread;

  // The service may stop the link from one thread while its daemon thread starts it.
  std::mutex lifecycle;
  mutable std::mutex mutex;
  std::condition_variable pass_changed;
  std::set<std::wstring> pending;
  std::set<std::wstring> skipped;  // items of the pass that the controller will not run now
  std::atomic<PassControl*> pass_control{nullptr};
  std::map<std::string, DevicePresence> present;
};

// The pairing link of an offer: the pairing address, "#" and the offer's fields.
std::string qr_content(PairingOffer const& offer);
// The host name; "PC" when there is none.
std::string pc_name();
// The running, non-loopback IPv4 addresses of this machine in dotted form.
std::vector<std::string> local_ipv4_addresses();

}  // namespace KVO_Core
