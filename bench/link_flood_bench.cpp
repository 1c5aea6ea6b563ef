// link_flood_bench [--seconds N] [--files N] [--clients N]
// The real service (tessvald, found beside this program) with a paired phone, so that its device
// link listens, and one local tree item that passes every second. Its passes are timed for N
// seconds while the link is left alone, then for N seconds while clients on loopback flood the
// link with bad connections (garbage, half-open TLS, TLS without a certificate, oversized
// requests, connections that say nothing) and bad discovery datagrams. Reports the median pass
// of both spans and their ratio, and the service's resident memory before and after the flood,
// beside the bounds a user should be able to rely on: at most 1.25x slower and 5 MB more.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "service_process.h"

namespace {

using namespace service_process;

struct Options {
  int seconds = 60;
  int files = 20000;
  int clients = 8;
};

// Resident memory of the process in KiB, from /proc.
long resident_kib(pid_t pid) {
  std::istringstream status(read_text("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// The passes of the item, seen through a file that changes all the time in its source: each run
// copies it. Gives the times between successive copies over `span`.
class PassClock {
 public:
  PassClock(fs::path const& work, fs::path const& source, fs::path const& target)
      : scratch_(work / "tick.tmp"), source_(source / "tick.txt"), target_(target / "tick.txt") {
    tick();
  }

  std::vector<double> intervals(Steady::duration span) {
    std::vector<double> found;
    std::optional<Wall::time_point> last = mtime_of(target_);
    std::optional<Steady::time_point> seen;
    auto const end = Steady::now() + span;
    auto next_tick = Steady::now();
    while (Steady::now() < end) {
      std::this_thread::sleep_for(2ms);
      if (Steady::now() >= next_tick) {
        tick();
        next_tick = Steady::now() + 50ms;
      }
      auto const now = mtime_of(target_);
      if (!now || now == last) continue;
      last = now;
      auto const at = Steady::now();
      if (seen) found.push_back(seconds(at - *seen));
      seen = at;
    }
    return found;
  }

 private:
  // Renamed into place, so that a run never reads a half-written file.
  void tick() {
    write_text(scratch_, "tick " + std::to_string(++count_) + "\n");
    fs::rename(scratch_, source_);
  }

  fs::path scratch_, source_, target_;
  unsigned long count_ = 0;
};

// ---- the flood --------------------------------------------------------------------------------

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

class Socket {
 public:
  explicit Socket(int type) : fd_(::socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
    timeval const limit{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(Socket const&) = delete;
  Socket& operator=(Socket const&) = delete;
  int fd() const { return fd_; }
  bool connect_to(std::uint16_t port) const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return ::connect(fd_, reinterpret_cast<sockaddr const*>(&address), sizeof address) == 0;
  }
  void send_all(std::string const& bytes) const {
    ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // Reads until the peer closes or the receive limit passes.
  void drain() const {
    std::array<char, 4096> buffer{};
    while (::recv(fd_, buffer.data(), buffer.size(), 0) > 0) {
    }
  }

 private:
  int fd_;
};

enum class Kind { Garbage, ConnectOnly, HalfTls, NoCertificate, Oversized, Silent, Count };
char const* const KIND_NAMES[] = {"garbage bytes",     "connect and close",
                                  "half a TLS hello",  "TLS without certificate",
                                  "oversized request", "silent until closed"};

class Flood {
 public:
  Flood(std::uint16_t port, int clients) : port_(port), clients_(clients) {
    ctx_.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_NONE, nullptr);
  }

  void run(Steady::duration span) {
    auto const end = Steady::now() + span;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients_; ++i)
      threads.emplace_back([this, i, end] {
        for (unsigned n = static_cast<unsigned>(i); Steady::now() < end; n += clients_)
          connection(static_cast<Kind>(n % static_cast<unsigned>(Kind::Count)));
      });
    threads.emplace_back([this, end] { datagrams(end); });
    for (std::thread& t : threads) t.join();
  }

  void report() const {
    std::lock_guard lock(counts_mutex_);
    for (auto const& [kind, count] : counts_)
      std::printf("    %-26s %8lu connections\n", KIND_NAMES[static_cast<int>(kind)], count);
    std::printf("    %-26s %8lu datagrams\n", "bad discovery", datagrams_.load());
  }

 private:
  void connection(Kind kind) {
    Socket socket(SOCK_STREAM);
    if (!socket.connect_to(port_)) return;
    switch (kind) {
      case Kind::Garbage:
        socket.send_all(std::string(512, '\x17') + "\n");
        break;
      case Kind::ConnectOnly:
        break;
      case Kind::HalfTls:
        socket.send_all(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc", 9));
        socket.drain();
        break;
      case Kind::NoCertificate:
        tls(socket, "{\"type\":\"hello\",\"deviceId\":\"" + std::string(32, 'f') + "\"}\n");
        break;
      case Kind::Oversized:
        tls(socket, std::string(100000, '{'));
        break;
      case Kind::Silent:
        socket.drain();
        break;
      case Kind::Count:
        break;
    }
    std::lock_guard lock(counts_mutex_);
    ++counts_[kind];
  }

  void tls(Socket const& socket, std::string const& request) const {
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx_.get()));
    if (!ssl || SSL_set_fd(ssl.get(), socket.fd()) != 1 || SSL_connect(ssl.get()) != 1) {
      ERR_clear_error();
      return;
    }
    SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
    std::array<char, 4096> buffer{};
    while (SSL_read(ssl.get(), buffer.data(), static_cast<int>(buffer.size())) > 0) {
    }
    ERR_clear_error();
  }

  // Discovery that names another PC, and noise, at about a thousand datagrams a second.
  void datagrams(Steady::time_point end) {
    Socket socket(SOCK_DGRAM);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    std::string const wrong = "KVO-DISCOVER 1 " + std::string(64, '0') + "\n";
    std::string const noise(200, '\xff');
    for (unsigned n = 0; Steady::now() < end; ++n) {
      std::string const& text = n % 2 ? wrong : noise;
      ::sendto(socket.fd(), text.data(), text.size(), MSG_DONTWAIT,
               reinterpret_cast<sockaddr const*>(&address), sizeof address);
      ++datagrams_;
      if (n % 10 == 0) std::this_thread::sleep_for(10ms);
    }
  }

  std::uint16_t port_;
  int clients_;
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx_;
  mutable std::mutex counts_mutex_;
  std::map<Kind, unsigned long> counts_;
  std::atomic<unsigned long> datagrams_{0};
};

// ---- the measurement --------------------------------------------------------------------------

int bench(fs::path const& program, fs::path const& work, Options const& options) {
  int const folders = std::max(1, options.files / 100);
  fs::path const source = work / "source";
  fs::path const target = work / "target";
  make_tree(source, folders, 100);
  fs::create_directories(target);

  Service service(program, work / "home", "Info");
  // A paired phone keeps the link up; none of the flood's clients is that phone.
  service.configure({Item{"local", "Verzeichnisbaum", source, target, 1, false, true}},
                    R"("Devices": {"Device": {"id": ")" + std::string(32, 'a') +
                        R"(", "name": "Bench phone", "certFingerprint": ")" + std::string(64, 'b') +
                        R"(", "sshHostKey": ""}},)");
  service.start();
  fs::path const port_file = service.data_dir() / "devicelink.port";
  if (!poll([&] { return fs::exists(port_file) && !read_text(port_file).empty(); }, 60s, 50ms))
    throw std::runtime_error("the device link did not start");
  auto const port = static_cast<std::uint16_t>(std::atoi(read_text(port_file).c_str()));
  PassClock passes(work, source, target);
  if (!poll([&] { return fs::exists(target / "tick.txt"); }, 600s, 50ms))
    throw std::runtime_error("the first pass did not finish");
  std::this_thread::sleep_for(3s);
  std::printf("service %s, %d files, link on port %u, flood by %d clients\n", program.c_str(),
              folders * 100, port, options.clients);

  long const memory_before = resident_kib(service.pid());
  auto const span = std::chrono::seconds(options.seconds);
  std::vector<double> const quiet = passes.intervals(span);

  Flood flood(port, options.clients);
  std::vector<double> loud;
  std::thread measuring([&] { loud = passes.intervals(span); });
  flood.run(span);
  measuring.join();
  std::this_thread::sleep_for(5s);  // the last connections in the backlog are served
  long const memory_after = resident_kib(service.pid());
  if (!service.alive()) throw std::runtime_error("the service ended during the flood");
  Socket probe(SOCK_STREAM);
  bool const listening = probe.connect_to(port);

  // A run copies the file, the worker waits a second after the pass, the next run copies it
  // again: a pass is an interval less 1 s.
  Summary const a = summary(quiet), b = summary(loud);
  double const pass_quiet = a.median - 1.0, pass_loud = b.median - 1.0;
  double const ratio = pass_loud / pass_quiet;
  double const growth_mb = static_cast<double>(memory_after - memory_before) / 1024.0;
  std::printf("\nflood of %d s:\n", options.seconds);
  flood.report();
  std::printf(
      "\nruns of the local item (end to end, median; min, max):\n"
      "    link left alone   %6.3f s (%.3f, %.3f), %zu runs -> pass %6.3f s\n"
      "    link flooded      %6.3f s (%.3f, %.3f), %zu runs -> pass %6.3f s\n"
      "    slowdown of a pass x%.2f (bound x1.25: %s)\n"
      "resident memory %ld KiB before, %ld KiB after: %+.2f MB (bound 5 MB: %s)\n"
      "link still accepts connections: %s\n",
      a.median, a.min, a.max, quiet.size(), pass_quiet, b.median, b.min, b.max, loud.size(),
      pass_loud, ratio, ratio <= 1.25 ? "met" : "NOT met", memory_before, memory_after, growth_mb,
      growth_mb <= 5.0 ? "met" : "NOT met", listening ? "yes" : "NO");
  service.stop();
  return ratio <= 1.25 && growth_mb <= 5.0 && listening ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // The link closes on clients that are still writing.
  std::signal(SIGPIPE, SIG_IGN);
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string const key = argv[i];
    int const value = std::atoi(argv[i + 1]);
    if (key == "--seconds")
      options.seconds = std::max(5, value);
    else if (key == "--files")
      options.files = std::max(100, value);
    else if (key == "--clients")
      options.clients = std::max(1, value);
    else {
      std::fprintf(stderr, "link_flood_bench: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  auto const setting = prepare("link_flood_bench");
  if (!setting) return 1;
  fs::path const& work = setting->work;
  std::printf("load average at start: %s", read_text("/proc/loadavg").c_str());
  int result = 1;
  try {
    result = bench(setting->program, work, options);
  } catch (std::exception const& e) {
    std::fprintf(stderr, "link_flood_bench: %s (work folder kept: %s)\n", e.what(), work.c_str());
    return 1;
  }
  std::printf("load average at the end: %s", read_text("/proc/loadavg").c_str());
  fs::remove_all(work);
  return result;
}
