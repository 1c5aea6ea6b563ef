#include "core/devicelink/DeviceLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string_view>

#include "core/config/Config.h"
#include "core/devicelink/LinkFiles.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace KVO_Core {

namespace {

std::atomic<bool> private_scope{false};
bool role_taken_logged = false;

constexpr std::string_view DISCOVER = "KVO-DISCOVER 1 ";
constexpr std::size_t FINGERPRINT_SIZE = 64;
constexpr int BACKLOG = 5;

int accept_any_client_certificate(int, X509_STORE_CTX*) { return 1; }

// A write to a phone that has gone must fail, not end the process.
void ignore_sigpipe_at_default() {
  struct sigaction now {};
  if (sigaction(SIGPIPE, nullptr, &now) != 0) return;
  if (now.sa_handler == SIG_DFL && (now.sa_flags & SA_SIGINFO) == 0) signal(SIGPIPE, SIG_IGN);
}

// A discovery answer to a forged broadcast, multicast or port-0 source would go to every host of
// the network or nowhere.
bool unicast_sender(sockaddr_in const& from) {
  if (from.sin_port == 0) return false;
  std::uint32_t const address = ntohl(from.sin_addr.s_addr);
  if (address == INADDR_ANY || address == INADDR_BROADCAST || IN_MULTICAST(address)) return false;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return true;
  bool broadcast = false;
  for (ifaddrs* entry = list; entry != nullptr && !broadcast; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (!(entry->ifa_flags & IFF_BROADCAST) || entry->ifa_broadaddr == nullptr) continue;
    auto const* cast = reinterpret_cast<sockaddr_in const*>(entry->ifa_broadaddr);
    broadcast = cast->sin_addr.s_addr == from.sin_addr.s_addr;
  }
  ::freeifaddrs(list);
  return !broadcast;
}

std::uint16_t bound_port(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}

bool bind_ipv4(int fd, in_addr_t host, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(host);
  address.sin_port = htons(port);
  return ::bind(fd, reinterpret_cast<sockaddr const*>(&address), sizeof address) == 0;
}

}  // namespace

DeviceLink& DeviceLink::instance() {
  static DeviceLink link;
  return link;
}

DeviceLink::~DeviceLink() { stop(); }

std::filesystem::path DeviceLink::default_dir() {
  return Utilities::to_path(Config::get_root_pathname()).parent_path();
}

void DeviceLink::use_private_scope() { private_scope = true; }

std::string DeviceLink::fingerprint() const { return identity ? identity->fingerprint : ""; }

bool DeviceLink::start(std::filesystem::path const& folder, std::uint16_t tcp_port,
                       std::uint16_t udp_port) {
  std::lock_guard lock(lifecycle);
  if (running.load()) return true;
  dir = folder;
  pairing.set_dir(folder);
  identity = DeviceIdentity::load_or_create(folder);
  if (!identity) return false;

  if (!take_role()) {
    if (!role_taken_logged) {
      Utilities::log_at(Utilities::LogLevel::Info,
                        Utilities::translation::translate("device_link_role_taken"));
      role_taken_logged = true;
    }
    return false;
  }
  role_taken_logged = false;

  ignore_sigpipe_at_default();
  if (!prepare_tls() || !listen_on(tcp_port)) {
    Utilities::log_at(Utilities::LogLevel::Error,
                      Utilities::translation::translate("device_link_listen_failed"),
                      std::to_wstring(tcp_port));
    stop_locked();
    return false;
  }
  if (!open_discovery(udp_port)) {
    Utilities::log_at(Utilities::LogLevel::Warning,
                      Utilities::translation::translate("device_discovery_unavailable",
                                                        {std::to_wstring(udp_port)}));
  }
  link_files::write(dir / "devicelink.port", std::to_string(port.load()) + "\n");

  stop_flag = false;
  running = true;
  thread = std::thread([this] { accept_loop(); });
  Utilities::log_at(
      Utilities::LogLevel::Info,
      Utilities::translation::translate("device_link_listening", {std::to_wstring(port.load())}));
  return true;
}

void DeviceLink::stop() {
  std::lock_guard lock(lifecycle);
  stop_locked();
}

void DeviceLink::stop_locked() {
  stop_flag = true;
  if (thread.joinable()) thread.join();
  listener.close();
  discovery.close();
  if (running.load() && !dir.empty()) {
    std::error_code ec;
    std::filesystem::remove(dir / "devicelink.port", ec);
    std::filesystem::remove(dir / "devices.presence", ec);
  }
  tls.reset();
  release_role();
  {
    std::lock_guard lock(mutex);
    pending.clear();
    skipped.clear();
    present.clear();
  }
  running = false;
  port = 0;
  discovery_port = 0;
}

std::filesystem::path DeviceLink::role_lock_path() const {
  if (private_scope) {
    return std::filesystem::temp_directory_path() /
           ("pellimoravin-" + std::to_string(::getuid()) + "-test-devicelink.lock");
  }
  return dir / "devicelink.lock";
}

bool DeviceLink::take_role() {
  if (role_lock) return true;
  platform::FileDescriptor fd(
      ::open(role_lock_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
  role_lock = std::move(fd);
  return true;
}

void DeviceLink::release_role() {
  if (!role_lock) return;
  ::flock(role_lock.get(), LOCK_UN);
  role_lock.close();
}

bool DeviceLink::hosted_elsewhere() const {
  if (running.load() || dir.empty()) return false;
  if (link_files::first_line_number(dir / "devicelink.port") <= 0) return false;
  // A port file left by a crashed process names nobody: the role lock ends with its holder.
  platform::FileDescriptor fd(::open(role_lock_path().c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return false;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
    ::flock(fd.get(), LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

bool DeviceLink::prepare_tls() {
  tls.reset(SSL_CTX_new(TLS_server_method()));
  if (!tls) return false;
  SSL_CTX_set_min_proto_version(tls.get(), TLS1_3_VERSION);
  // A resumed session would skip the client certificate that names the phone, and OpenSSL fails
  // such a handshake without a session id context: no tickets, no cache, one fixed context.
  SSL_CTX_set_options(tls.get(), SSL_OP_NO_TICKET);
  SSL_CTX_set_num_tickets(tls.get(), 0);
  SSL_CTX_set_session_cache_mode(tls.get(), SSL_SESS_CACHE_OFF);
  static constexpr unsigned char CONTEXT[] = "pellimoravin-devicelink";
  SSL_CTX_set_session_id_context(tls.get(), CONTEXT, sizeof CONTEXT - 1);

  openssl::Certificate cert = openssl::read_certificate(identity->certificate_pem);
  openssl::Pkey key = openssl::read_private_key(identity->key_pem);
  if (!cert || !key || SSL_CTX_use_certificate(tls.get(), cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(tls.get(), key.get()) != 1)
    return false;
  SSL_CTX_set_verify(tls.get(), SSL_VERIFY_PEER, accept_any_client_certificate);
  return true;
}

bool DeviceLink::listen_on(std::uint16_t requested) {
  platform::FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  int const one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  in_addr_t const host = private_scope ? INADDR_LOOPBACK : INADDR_ANY;
  if (!bind_ipv4(fd.get(), host, requested) && (requested == 0 || !bind_ipv4(fd.get(), host, 0)))
    return false;
  if (::listen(fd.get(), BACKLOG) != 0) return false;
  std::uint16_t const bound = bound_port(fd.get());
  if (bound == 0) return false;
  listener = std::move(fd);
  port = bound;
  return true;
}

bool DeviceLink::open_discovery(std::uint16_t udp_port) {
  platform::FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd || !bind_ipv4(fd.get(), INADDR_ANY, udp_port)) return false;
  std::uint16_t const bound = bound_port(fd.get());
  if (bound == 0) return false;
  discovery = std::move(fd);
  discovery_port = bound;
  return true;
}

void DeviceLink::accept_loop() {
  // poll rather than select: a busy service may hold descriptors beyond select's fixed set.
  while (!stop_flag.load()) {
    std::array<pollfd, 2> watched{pollfd{listener.get(), POLLIN, 0},
                                  pollfd{discovery.get(), POLLIN, 0}};
    nfds_t const count = discovery ? 2 : 1;
    if (::poll(watched.data(), count, 500) <= 0) continue;
    try {
      // An error on the datagram socket is taken by the next receive; left alone it would
      // wake every poll at once.
      if (count == 2 && (watched[1].revents & (POLLIN | POLLERR))) answer_discovery();
      if (!(watched[0].revents & POLLIN)) continue;
      sockaddr_in from{};
      socklen_t size = sizeof from;
      platform::FileDescriptor connection(::accept4(
          listener.get(), reinterpret_cast<sockaddr*>(&from), &size, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!connection) {
        // Out of descriptors the listener stays readable: pause instead of spinning on it.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
          ::poll(nullptr, 0, 500);
        continue;
      }
      std::array<char, INET_ADDRSTRLEN> peer{};
      ::inet_ntop(AF_INET, &from.sin_addr, peer.data(), peer.size());
      session(std::move(connection), peer.data());
    } catch (std::exception const& e) {
      Utilities::log_at(Utilities::LogLevel::Error, std::string("device link: "), e.what());
    } catch (...) {
      Utilities::log_at(Utilities::LogLevel::Error, "device link: unknown exception");
    }
  }
}

void DeviceLink::answer_discovery() {
  std::array<char, 255> datagram{};
  sockaddr_in from{};
  socklen_t size = sizeof from;
  ssize_t const got = ::recvfrom(discovery.get(), datagram.data(), datagram.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &size);
  if (got <= 0 || size != sizeof from || from.sin_family != AF_INET) return;
  std::string_view const text(datagram.data(), static_cast<std::size_t>(got));
  if (!text.starts_with(DISCOVER)) return;
  std::string_view const asked = text.substr(DISCOVER.size(), FINGERPRINT_SIZE);
  std::string const mine = fingerprint();
  if (mine.size() != FINGERPRINT_SIZE || asked != mine || !unicast_sender(from)) return;
  std::string const answer = "KVO-HERE 1 " + mine + " " + std::to_string(port.load());
  ::sendto(discovery.get(), answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
           reinterpret_cast<sockaddr const*>(&from), sizeof from);
}

}  // namespace KVO_Core
