// The running link with a scripted phone over real TLS on loopback: discovery, pairing, hello,
// the port and role files, and bad input that must leave the link serving.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "link_fixture.h"
#include "utilities/Util.h"

namespace devicelink_test {
namespace {

using KVO_Core::Config;

std::string token_file_line(std::string const& token, long expiry) {
  return token + " " + std::to_string(expiry) + "\n";
}

TEST_F(LinkTest, DiscoveryAnswersOnlyItsOwnFingerprintFromAUnicastSender) {
  ASSERT_TRUE(start());
  ASSERT_NE(link().udp_port(), 0);
  std::string const fp = link().fingerprint();
  ASSERT_EQ(fp.size(), 64u);
  std::string const here = "KVO-HERE 1 " + fp + " " + std::to_string(link().tcp_port());

  EXPECT_EQ(phone.discover(link().udp_port(), "KVO-DISCOVER 1 " + fp + "\n"), here);
  EXPECT_EQ(phone.discover(link().udp_port(), "KVO-DISCOVER 1 " + fp, "127.255.255.255", true),
            here)
      << "a broadcast request is answered to its sender";

  std::string upper = fp;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    char const* what;
    std::string datagram;
  };
  Case const unanswered[] = {
      {"another fingerprint", "KVO-DISCOVER 1 " + std::string(64, 'a')},
      {"upper-case digits", "KVO-DISCOVER 1 " + upper},
      {"another prefix", "KVO-DISCOVER 2 " + fp},
      {"no blank after the prefix", "KVO-DISCOVER 1" + fp},
      {"a shortened fingerprint", "KVO-DISCOVER 1 " + fp.substr(0, 63)},
      {"the prefix alone", "KVO-DISCOVER 1 "},
      {"garbage", std::string("\x00\xff\x01", 3)},
  };
  for (Case const& c : unanswered)
    EXPECT_EQ(phone.discover(link().udp_port(), c.datagram, "127.0.0.1", false, 0.4), "none")
        << c.what;
  EXPECT_EQ(phone.discover(link().udp_port(), "KVO-DISCOVER 1 " + fp), here)
      << "still answering after bad datagrams";
}

TEST_F(LinkTest, PairingAnswersTheExactBytesAndHandsThePhoneOver) {
  ASSERT_TRUE(start());
  EXPECT_TRUE(link().start(link_dir(), 0, 0)) << "a running link stays as it is";
  std::string const token = link().pairing.begin();
  std::string const id = device_id(1);

  auto const exchange = phone.tls(link().tcp_port(), pair_line(token, id, "My Phone"));
  ASSERT_TRUE(exchange.handshake);
  EXPECT_EQ(exchange.server_fingerprint, link().fingerprint());
  EXPECT_EQ(exchange.reply, paired_reply());

  EXPECT_EQ(test_support::read_file(link_dir() / "pairing.done"),
            id + "\nMy Phone\n" + phone.fingerprint() + "\nssh-ed25519 AAAA\n");
  auto const device = Config::instance()->find_device(id);
  ASSERT_TRUE(device);
  EXPECT_EQ(device->certFingerprint, phone.fingerprint());
  std::string const presence = test_support::read_file(link_dir() / "devices.presence");
  EXPECT_EQ(presence.rfind(id + " 127.0.0.1 2222 ", 0), 0u) << presence;
  ASSERT_TRUE(link().presence(id));
  EXPECT_EQ(link().presence(id)->sftp_port, 2222);
  EXPECT_EQ(count_of(log(), said("device_paired")), 1u);

  EXPECT_EQ(phone.tls(link().tcp_port(), pair_line(token, device_id(2))).reply,
            error("pairing_closed"))
      << "a token pairs one phone only";
  EXPECT_FALSE(Config::instance()->find_device(device_id(2)));
}

TEST_F(LinkTest, PairRefusals) {
  ASSERT_TRUE(start());
  std::string token = link().pairing.begin();
  struct Case {
    char const* what;
    std::string line;
    std::string reply;
  };
  Case const refused[] = {
      {"an upper-case id", pair_line(token, "0000000000000000000000000000000A"),
       error("bad_request")},
      {"a name of 129 bytes", pair_line(token, device_id(3), std::string(129, 'n')),
       error("bad_request")},
      {"an empty name", pair_line(token, device_id(3), ""), error("bad_request")},
      {"a line feed in the host key", pair_line(token, device_id(3), "Phone", R"(key\nsecond)"),
       error("bad_request")},
      {"a control byte in the host key", pair_line(token, device_id(3), "Phone", R"(key\u0001)"),
       error("bad_request")},
  };
  for (Case const& c : refused)
    EXPECT_EQ(phone.tls(link().tcp_port(), c.line).reply, c.reply) << c.what;
  EXPECT_EQ(phone.tls(link().tcp_port(), pair_line(token, device_id(3))).reply, paired_reply())
      << "refused requests neither use up nor count against the token";

  token = link().pairing.begin();
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(phone.tls(link().tcp_port(), pair_line(std::string(32, 'f'), device_id(4))).reply,
              error("token_invalid"))
        << i;
  EXPECT_EQ(phone.tls(link().tcp_port(), pair_line(token, device_id(4))).reply,
            error("pairing_closed"))
      << "after five wrong tokens the right one is refused too";

  test_support::write_file(link_dir() / "pairing.token",
                           token_file_line(std::string(32, 'e'), std::time(nullptr) - 1));
  EXPECT_EQ(phone.tls(link().tcp_port(), pair_line(std::string(32, 'e'), device_id(5))).reply,
            error("pairing_closed"))
      << "an expired token";
  EXPECT_FALSE(Config::instance()->find_device(device_id(4)));
  EXPECT_FALSE(Config::instance()->find_device(device_id(5)));
}

TEST_F(LinkTest, HelloNamesThePhonesItemsWithTheirDirections) {
  std::string const id = device_id(7);
  configure_device(id, phone.fingerprint());
  auto* config = Config::instance();
  auto const add_item = [&](std::wstring const& name, std::wstring const& source,
                            std::wstring const& target, bool two_way, bool enabled) {
    KVO_Core::SyncItem item(name, KVO_Core::SyncItemType::Tree, source, target, L"");
    item.flags.twoWaySync = two_way;
    item.flags.enabled = enabled;
    config->add(item, false);
  };
  std::wstring const remote = Utilities::util::string_to_wstring(id) + L":/DCIM";
  add_item(L"photos\tout", L"/tmp/p", remote, false, true);
  add_item(L"from phone", remote, L"/tmp/q", false, true);
  add_item(L"both ways", L"/tmp/r", remote, true, false);
  add_item(L"not mine", L"/tmp/s", L"/tmp/t", true, true);
  ASSERT_TRUE(start());

  std::string const expected =
      R"({"type":"items","pc":{"name":")" + KVO_Core::pc_name() + R"(","fingerprint":")" +
      link().fingerprint() +
      R"(","version":"1"},"items":[{"name":"photos\tout","direction":"toPhone","enabled":true},)"
      R"({"name":"from phone","direction":"toPc","enabled":true},)"
      R"({"name":"both ways","direction":"both","enabled":false}]})"
      "\n";
  std::string const idle = "{\"type\":\"idle\"}\n";
  EXPECT_EQ(phone.tls(link().tcp_port(), hello_line(id)).reply, expected + idle);
  EXPECT_EQ(
      phone.tls(link().tcp_port(), hello_line(id, R"(,"serving":"true","sftpPort":"0")")).reply,
      expected + idle);

  test_support::FakePhone stranger(dir / "stranger", "stranger");
  EXPECT_EQ(stranger.tls(link().tcp_port(), hello_line(id)).reply, error("unknown_device"))
      << "a paired id with another certificate";
  EXPECT_EQ(phone.tls(link().tcp_port(), hello_line(device_id(8))).reply, error("unknown_device"));
  EXPECT_EQ(count_of(log(), said("device_hello_rejected")), 1u)
      << "the same warning again is held back by the log";
  EXPECT_EQ(test_support::read_file(link_dir() / "devices.presence").rfind(id + " 127.0.0.1 ", 0),
            0u);
}

TEST_F(LinkTest, BadInputIsAnsweredOrDroppedAndTheNextConnectionIsServed) {
  std::string const id = device_id(9);
  configure_device(id, phone.fingerprint());
  ASSERT_TRUE(start());
  std::string const token = link().pairing.begin();
  std::string const deep = std::string(60000, '[') + "\n";  // unclosed, within the size limit
  std::string const padded = R"({"type":"pad","x":")";
  auto const line_of = [&](std::size_t bytes) {  // a JSON object of `bytes` bytes and "\n"
    return padded + std::string(bytes - padded.size() - 2, 'x') + "\"}\n";
  };

  struct Case {
    char const* what;
    std::string request;
    std::string reply;
  };
  Case const cases[] = {
      {"not JSON", "{\"type\":\n", error("bad_request")},
      {"half an object", "{\"type\":\"hello\"\n", error("bad_request")},
      {"no type", "{\"deviceId\":\"" + id + "\"}\n", error("bad_request")},
      {"an unknown type", "{\"type\":\"serve\"}\n", error("bad_request")},
      {"a type that is an object", "{\"type\":{\"a\":\"hello\"}}\n", error("bad_request")},
      {"60,000 levels deep", deep, error("bad_request")},
      {"65,535 bytes and a line feed", line_of(65535), error("bad_request")},
      {"65,536 bytes and a line feed", line_of(65536), ""},
      {"65,537 bytes without a line feed", std::string(65537, 'x'), ""},
      {"a value too long to be anything",
       hello_line(id, ",\"appVersion\":\"" + std::string(5000, 'v') + "\""), error("bad_request")},
      {"the right token with a 129-byte name",
       pair_line(token, device_id(10), std::string(129, 'n')), error("bad_request")},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(phone.tls(link().tcp_port(), c.request).reply, c.reply) << c.what;
    EXPECT_EQ(phone.tls(link().tcp_port(), "{}\n").reply, error("bad_request"))
        << "served after " << c.what;
  }

  test_support::FakePhone::Options anonymous;
  anonymous.certificate = false;
  EXPECT_EQ(phone.tls(link().tcp_port(), pair_line(token, device_id(10)), anonymous).reply,
            error("certificate_missing"));
  EXPECT_EQ(phone.tls(link().tcp_port(), hello_line(id), anonymous).reply,
            error("certificate_missing"));

  EXPECT_EQ(phone.raw(link().tcp_port(), std::string(300, '\x16') + "GET / HTTP/1.0\r\n\r\n"), "");
  test_support::FakePhone::Options old;
  old.tls12 = true;
  auto const refused = phone.tls(link().tcp_port(), hello_line(id), old);
  EXPECT_FALSE(refused.handshake) << "TLS 1.2 is refused";
  EXPECT_EQ(refused.reply, "");
  EXPECT_NE(log().find(said("device_link_handshake_failed") + " 127.0.0.1"), std::string::npos);

  EXPECT_EQ(phone.tls(link().tcp_port(), pair_line(token, device_id(10))).reply, paired_reply())
      << "the window outlived all of it";
}

TEST_F(LinkTest, IdleAndTricklingPhonesAreCutOffInBoundedTime) {
  KVO_Core::DeviceLink::set_session_limits(1s, 8s);
  // The two limits lie far apart so that a loaded machine cannot blur which one ended the
  // connection.
  std::string const id = device_id(11);
  configure_device(id, phone.fingerprint());
  ASSERT_TRUE(start());

  auto const timed = [&](test_support::FakePhone::Options const& options,
                         std::string const& request) {
    auto const begin = std::chrono::steady_clock::now();
    auto const exchange = phone.tls(link().tcp_port(), request, options);
    EXPECT_EQ(exchange.reply, "");
    return std::chrono::steady_clock::now() - begin;
  };
  test_support::FakePhone::Options idle;
  idle.idle = true;
  EXPECT_LT(timed(idle, hello_line(id)), 6s) << "silent after the handshake: the idle limit";
  test_support::FakePhone::Options trickle;
  trickle.trickle = 0.3;
  EXPECT_LT(timed(trickle, hello_line(id)), 14s)
      << "a byte now and then never ends the idle time: the whole request has a deadline";

  auto const begin = std::chrono::steady_clock::now();
  EXPECT_EQ(phone.raw(link().tcp_port(), ""), "") << "a connection that never says hello";
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 6s);
  EXPECT_NE(phone.tls(link().tcp_port(), hello_line(id)).reply, "");
}

TEST_F(LinkTest, StopEndsAConnectionInHandAtOnce) {
  KVO_Core::DeviceLink::set_session_limits(30s, 60s);
  ASSERT_TRUE(start());
  std::thread slow([&] {
    test_support::FakePhone::Options idle;
    idle.idle = true;
    phone.tls(link().tcp_port(), "", idle);
  });
  std::this_thread::sleep_for(1500ms);
  auto const begin = std::chrono::steady_clock::now();
  link().stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  slow.join();
}

TEST_F(LinkTest, ABusyPortFallsBackToAFreeOne) {
  int const blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(blocker, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  ASSERT_EQ(::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &size), 0);
  std::uint16_t const busy = ntohs(address.sin_port);

  ASSERT_TRUE(link().start(link_dir(), busy, 0));
  ::close(blocker);
  EXPECT_NE(link().tcp_port(), busy);
  EXPECT_EQ(test_support::read_file(link_dir() / "devicelink.port"),
            std::to_string(link().tcp_port()) + "\n");
  EXPECT_EQ(phone.discover(link().udp_port(), "KVO-DISCOVER 1 " + link().fingerprint()),
            "KVO-HERE 1 " + link().fingerprint() + " " + std::to_string(link().tcp_port()));
  EXPECT_EQ(count_of(log(), said("device_link_listening")), 1u);
}

TEST_F(LinkTest, TheRoleHeldByAnotherProcessIsLoggedOnceAndAStalePortFileIsNoHost) {
  fs::path const lock = fs::temp_directory_path() /
                        ("pellimoravin-" + std::to_string(::getuid()) + "-test-devicelink.lock");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t const holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    int const fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
    ::flock(fd, LOCK_EX);
    ::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  test_support::write_file(link_dir() / "devicelink.port", "52999\n");

  EXPECT_FALSE(start());
  EXPECT_FALSE(start());
  EXPECT_FALSE(link().running);
  EXPECT_EQ(count_of(log(), said("device_link_role_taken")), 1u);
  EXPECT_TRUE(link().hosted_elsewhere());
  EXPECT_FALSE(link().fingerprint().empty()) << "the shared identity is loaded all the same";
  EXPECT_EQ(link().offer().port, 52999);

  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_FALSE(link().hosted_elsewhere()) << "the port file outlived its process";
  EXPECT_EQ(link().offer().port, 0);
  ASSERT_TRUE(start()) << "the role is free again";
}

TEST_F(LinkTest, StopRemovesThePortAndPresenceFilesAndFreesTheRole) {
  std::string const id = device_id(12);
  configure_device(id, phone.fingerprint());
  ASSERT_TRUE(start());
  ASSERT_NE(phone.tls(link().tcp_port(), hello_line(id)).reply, "");
  ASSERT_TRUE(fs::exists(link_dir() / "devicelink.port"));
  ASSERT_TRUE(fs::exists(link_dir() / "devices.presence"));

  link().stop();
  EXPECT_FALSE(link().running);
  EXPECT_FALSE(fs::exists(link_dir() / "devicelink.port"));
  EXPECT_FALSE(fs::exists(link_dir() / "devices.presence"));
  EXPECT_FALSE(link().hosted_elsewhere());
  EXPECT_FALSE(link().presence(id));
  EXPECT_EQ(link().tcp_port(), 0);
  fs::path const lock = fs::temp_directory_path() /
                        ("pellimoravin-" + std::to_string(::getuid()) + "-test-devicelink.lock");
  int const fd = ::open(lock.c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << "the lock file stays";
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "but nobody holds it";
  ::close(fd);
  link().stop();  // again: nothing happens
}

}  // namespace
}  // namespace devicelink_test

namespace devicelink_test {
namespace {

double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(LinkTest, OutOfDescriptorsTheLinkWaitsInsteadOfSpinning) {
  ASSERT_TRUE(start());
  int const client = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(link().tcp_port());
  rlimit const before = [] {
    rlimit l{};
    ::getrlimit(RLIMIT_NOFILE, &l);
    return l;
  }();
  // Every descriptor the limit allows is taken, so the pending connection cannot be accepted.
  std::vector<int> fillers;
  rlimit tight = before;
  tight.rlim_cur = 0;
  for (auto const& entry : fs::directory_iterator("/proc/self/fd"))
    tight.rlim_cur = std::max<rlim_t>(tight.rlim_cur, std::stoul(entry.path().filename()) + 1);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  double const cpu = cpu_seconds();
  std::this_thread::sleep_for(1500ms);
  EXPECT_LT(cpu_seconds() - cpu, 0.3);

  for (int fd : fillers) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);
  ::close(client);
  EXPECT_NE(phone.tls(link().tcp_port(), "{}\n").reply, "") << "served again";
}

}  // namespace
}  // namespace devicelink_test
