// A phone's sync pass in one process: the device link on loopback, the controller, a scripted
// phone whose SFTP server is the loopback sshd (password login, pinned host key). What the phone
// reads, what arrives, which controller ran the items, and what is left afterwards.
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/config/Config.h"
#include "core/control/PhonePassControl.h"
#include "core/control/SyncArbiter.h"
#include "core/control/Synchronize.h"
#include "core/devicelink/DeviceLink.h"
#include "core/devicelink/link_fixture.h"
#include "platform/FileDescriptor.h"
#include "support/sftp_server.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using KVO_Core::Config;
using KVO_Core::DeviceLink;
using KVO_Core::Synchronize;
using KVO_Core::SyncRole;
using KVO_Core::SyncType;
using test_support::SftpServer;
using Clock = std::chrono::steady_clock;

std::vector<std::string> lines_of(std::string const& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string done_line(bool completed, std::uint64_t errors) {
  return std::string(R"({"type":"done","completed":)") + (completed ? "true" : "false") +
         ",\"errors\":" + std::to_string(errors) + "}";
}

std::string progress_line(std::size_t done, std::size_t total) {
  return R"({"type":"progress","done":)" + std::to_string(done) +
         ",\"total\":" + std::to_string(total) + "}";
}

// The errors of a done line; -1 when the reply has none.
long errors_of(std::string const& reply) {
  std::string const key = R"(,"errors":)";
  auto const at = reply.rfind(key);
  if (at == std::string::npos || reply.find(R"({"type":"done")") == std::string::npos) return -1;
  return std::stol(reply.substr(at + key.size()));
}

// Holds a role's lock as another process would, so that the controller of the other role waits.
class HeldLock {
 public:
  explicit HeldLock(SyncRole role)
      : fd_(::open(KVO_Core::SyncArbiter::lock_path(role).c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                   0600)) {
    locked_ = fd_ && ::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0;
  }
  bool locked() const { return locked_; }
  void release() {
    if (locked_) ::flock(fd_.get(), LOCK_UN);
    locked_ = false;
  }

 private:
  platform::FileDescriptor fd_;
  bool locked_ = false;
};

class PhonePass : public devicelink_test::LinkTest {
 protected:
  PhonePass() {
    KVO_Core::SyncArbiter::use_private_scope();
    link().set_pass_control(&control);
  }
  ~PhonePass() override {
    link().stop();
    link().set_pass_control(nullptr);
    Synchronize::destroy();
    DeviceLink::set_pass_limit(1h);
  }

  void SetUp() override {
    ASSERT_TRUE(server.started()) << "the loopback sshd did not start";
    ASSERT_FALSE(phone.fingerprint().empty());
    // The phone's folders lie in the test's folder, readable by the password account.
    fs::create_directories(phone_root());
    fs::create_directories(pc_root());
    test_support::open_for_everyone(dir.path(), phone_root());
    // The phone's own files belong to the account that its server logs in.
    struct passwd const* user = ::getpwnam(SftpServer::password_user().c_str());
    ASSERT_NE(user, nullptr);
    ASSERT_EQ(::chown(phone_root().c_str(), user->pw_uid, user->pw_gid), 0);
    pair(id, phone);
    ASSERT_TRUE(start());
  }

  fs::path phone_root() const { return dir / "phone-files"; }
  fs::path pc_root() const { return dir / "pc"; }

  void pair(std::string const& device_id, test_support::FakePhone const& who) const {
    Config::instance()->add(
        KVO_Core::Device{device_id, "Phone", who.fingerprint(), server.host_key()}, false);
  }

  // A tree item from the phone's folder `name` to the PC's folder of the same name, or back.
  KVO_Core::SyncItem from_phone(std::string const& name, bool back = false) const {
    std::wstring const phone_side =
        Utilities::util::string_to_wstring(id + ":") + Utilities::from_path(phone_root() / name);
    std::wstring const pc_side = Utilities::from_path(pc_root() / name);
    KVO_Core::SyncItem item(Utilities::util::string_to_wstring(name), KVO_Core::SyncItemType::Tree,
                            back ? pc_side : phone_side, back ? phone_side : pc_side, L"");
    item.sync_cycle = 3600;
    return item;
  }
  KVO_Core::SyncItem to_phone(std::string const& name) const { return from_phone(name, true); }
  // Phone files in the folder `name`, readable by the password account.
  void phone_files(std::string const& name, std::vector<std::string> const& files) const {
    for (std::string const& file : files)
      test_support::write_file(phone_root() / name / file, name + "/" + file);
    test_support::open_for_everyone(dir.path(), phone_root() / name);
  }

  static std::string hello(std::string const& device_id, std::uint16_t sftp_port,
                           std::string const& password = SftpServer::password()) {
    return R"({"type":"hello","deviceId":")" + device_id + R"(","sftpPort":")" +
           std::to_string(sftp_port) + R"(","sftpUser":")" + SftpServer::password_user() +
           R"(","sftpPassword":")" + password + R"(","serving":"true","appVersion":"1.0"})" + "\n";
  }
  std::string serve(std::uint16_t sftp_port, std::string const& password = SftpServer::password()) {
    return phone.tls(link().tcp_port(), hello(id, sftp_port, password)).reply;
  }

  // The lines after the items line: serve, progress lines that grow to `total`, the done line.
  static void expect_complete_pass(std::string const& reply, std::size_t total) {
    std::vector<std::string> const lines = lines_of(reply);
    ASSERT_GE(lines.size(), 4u) << reply;
    EXPECT_EQ(lines[0].rfind(R"({"type":"items",)", 0), 0u) << reply;
    EXPECT_EQ(lines[1], R"({"type":"serve"})") << reply;
    std::size_t last = 0;
    for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
      std::size_t done = 0;
      for (std::size_t n = last + 1; n <= total; ++n)
        if (lines[i] == progress_line(n, total)) done = n;
      EXPECT_GT(done, last) << "progress only grows: " << reply;
      last = done;
    }
    EXPECT_EQ(last, total) << reply;
    EXPECT_EQ(lines.back(), done_line(true, 0)) << reply;
  }

  // After a pass: no trace of the phone's login is left, and the controller runs its items no more.
  void expect_pass_over() const {
    auto const account = Config::instance()->device_account(id);
    ASSERT_TRUE(account.has_value());
    EXPECT_TRUE(account->password().empty());
    EXPECT_TRUE(account->host().empty()) << "the device's own account, not the pass's";
    auto const presence = link().presence(id);
    ASSERT_TRUE(presence.has_value());
    EXPECT_FALSE(presence->serving);
    EXPECT_TRUE(presence->sftp_password.empty());
    EXPECT_FALSE(link().serving(id));
    EXPECT_EQ(log().find(SftpServer::password()), std::string::npos) << "the password was logged";
    for (auto const& entry : fs::recursive_directory_iterator(dir / "link")) {
      if (!entry.is_regular_file()) continue;
      EXPECT_EQ(test_support::read_file(entry.path()).find(SftpServer::password()),
                std::string::npos)
          << entry.path();
    }
  }

  SftpServer server{dir / "server"};
  KVO_Core::PhonePassControl control;
  std::string const id = "0123456789abcdef0123456789abcdef";
};

TEST_F(PhonePass, ARunningControllerIsWokenRunsThePhonesItemsAndThenNoMore) {
  phone_files("DCIM", {"a.jpg", "b/c.jpg"});
  test_support::write_file(pc_root() / "Docs/letter.txt", "dear phone");
  Config::instance()->add(from_phone("DCIM"), false);
  Config::instance()->add(to_phone("Docs"), false);
  Synchronize* background =
      Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background, false, "");
  ASSERT_NE(background, nullptr);

  std::string const reply = serve(server.port());
  expect_complete_pass(reply, 2);
  EXPECT_EQ(test_support::read_file(pc_root() / "DCIM/b/c.jpg"), "DCIM/b/c.jpg") << log();
  EXPECT_EQ(test_support::read_file(phone_root() / "Docs/letter.txt"), "dear phone");
  struct stat written {};
  ASSERT_EQ(::stat((phone_root() / "Docs/letter.txt").c_str(), &written), 0);
  EXPECT_NE(written.st_uid, 0u) << "written by the phone's own login";
  ASSERT_TRUE(Synchronize::has_instance());
  EXPECT_EQ(&Synchronize::instance(), background) << "woken, not replaced";
  EXPECT_NE(
      log().find(Utilities::translation::translate_utf8("device_pass_finished", {"Phone", "0"})),
      std::string::npos);
  expect_pass_over();

  phone_files("DCIM", {"later.jpg"});
  test_support::write_file(pc_root() / "Docs/later.txt", "later");
  std::this_thread::sleep_for(3s);
  EXPECT_FALSE(fs::exists(pc_root() / "DCIM/later.jpg"))
      << "the background controller runs a phone's items only while it is served";
  EXPECT_FALSE(fs::exists(phone_root() / "Docs/later.txt"));
}

TEST_F(PhonePass, WithoutAControllerAOnePassControllerIsMadeAndGoneBeforeDone) {
  phone_files("DCIM", {"a.jpg"});
  Config::instance()->add(from_phone("DCIM"), false);
  ASSERT_FALSE(Synchronize::has_instance());

  std::string const reply = serve(server.port());
  EXPECT_FALSE(Synchronize::has_instance()) << "destroyed before the done line";
  expect_complete_pass(reply, 1);
  EXPECT_EQ(test_support::read_file(pc_root() / "DCIM/a.jpg"), "DCIM/a.jpg") << log();
  expect_pass_over();
}

TEST_F(PhonePass, APhoneThatCannotBeReachedIsNoSuccessAlsoOnARetryButIsProbedAfresh) {
  phone_files("DCIM", {"a.jpg"});
  KVO_Core::SyncItem item = from_phone("DCIM");
  // Reported once at Info while it stays unreachable: no error line of its own.
  item.flags.warnIfUnreachable = false;
  Config::instance()->add(item, false);
  ASSERT_NE(Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background, false, ""),
            nullptr);

  struct Case {
    char const* what;
    std::uint16_t port;
    std::string password;
  };
  std::uint16_t const closed = test_support::closed_port();
  for (Case const& c : {Case{"port closed", closed, SftpServer::password()},
                        Case{"wrong password", server.port(), "not-the-password"}}) {
    SCOPED_TRACE(c.what);
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::string const reply = serve(c.port, c.password);
      EXPECT_GE(errors_of(reply), 1) << "attempt " << attempt << ": " << reply << log();
      EXPECT_FALSE(fs::exists(pc_root() / "DCIM/a.jpg"));
    }
  }
  EXPECT_EQ(log().find("not-the-password"), std::string::npos);
  // The next serve brings a working login at once, although the last answer was "unreachable".
  expect_complete_pass(serve(server.port()), 1);
  EXPECT_EQ(test_support::read_file(pc_root() / "DCIM/a.jpg"), "DCIM/a.jpg") << log();
  expect_pass_over();
}

TEST_F(PhonePass, TheTimeLimitEndsAPassThatCannotRunIncompleteWithoutProgress) {
  phone_files("DCIM", {"a.jpg"});
  Config::instance()->add(from_phone("DCIM"), false);
  // A service's background pass holds its lock: the one-pass controller waits for it.
  HeldLock background(SyncRole::Background);
  ASSERT_TRUE(background.locked());
  DeviceLink::set_pass_limit(1500ms);

  std::vector<std::string> const lines = lines_of(serve(server.port()));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], R"({"type":"serve"})");
  EXPECT_EQ(lines[2], done_line(false, 0));
  EXPECT_FALSE(Synchronize::has_instance());
  EXPECT_FALSE(fs::exists(pc_root() / "DCIM/a.jpg"));
  EXPECT_NE(
      log().find(Utilities::translation::translate_utf8("device_pass_incomplete", {"Phone", "0"})),
      std::string::npos);
  expect_pass_over();
}

TEST_F(PhonePass, AnItemThatWillNotRunNowEndsThePassAtOnce) {
  phone_files("DCIM", {"a.jpg"});
  phone_files("Music", {"song.mp3"});
  Config::instance()->add(from_phone("DCIM"), false);
  KVO_Core::SyncItem later = from_phone("Music");
  std::time_t const now = std::time(nullptr);
  std::tm local{};
  ASSERT_NE(localtime_r(&now, &local), nullptr);
  later.flags.schedule.limited = true;
  later.flags.schedule.days = static_cast<std::uint8_t>(127 & ~(1u << ((local.tm_wday + 6) % 7)));
  Config::instance()->add(later, false);
  ASSERT_NE(Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background, false, ""),
            nullptr);

  auto const start = Clock::now();
  std::vector<std::string> const lines = lines_of(serve(server.port()));
  EXPECT_LT(Clock::now() - start, 20s) << "not held for the hour";
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.back(), done_line(false, 0));
  EXPECT_EQ(lines[lines.size() - 2], progress_line(1, 2));
  EXPECT_TRUE(fs::exists(pc_root() / "DCIM/a.jpg"));
  EXPECT_FALSE(fs::exists(pc_root() / "Music/song.mp3"));
}

TEST_F(PhonePass, TheWaitEndsWhenTheControllerItWaitsOnHasFinished) {
  phone_files("DCIM", {"a.jpg"});
  Config::instance()->add(from_phone("DCIM"), false);
  // A front end's run holds the foreground lock: the background controller waits for it.
  HeldLock foreground(SyncRole::Foreground);
  ASSERT_TRUE(foreground.locked());
  Synchronize* background =
      Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background, false, "");
  ASSERT_NE(background, nullptr);

  auto const start = Clock::now();
  auto pass = std::async(std::launch::async, [&] { return serve(server.port()); });
  while (!link().serving(id) && Clock::now() - start < 10s) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(link().serving(id));
  Synchronize::stop();  // its worker ends; the controller stays until its maker destroys it
  std::string const reply = pass.get();
  EXPECT_LT(Clock::now() - start, 15s);
  EXPECT_EQ(lines_of(reply).back(), done_line(false, 0)) << reply;
  ASSERT_TRUE(Synchronize::has_instance()) << "not the link's to destroy";
  EXPECT_TRUE(Synchronize::destroy(background));
}

TEST_F(PhonePass, AnotherPhoneIsServedOnlyAfterThePassIsDone) {
  phone_files("DCIM", {"a.jpg"});
  Config::instance()->add(from_phone("DCIM"), false);
  test_support::FakePhone second(dir / "second", "second");
  std::string const second_id = "fedcba9876543210fedcba9876543210";
  pair(second_id, second);
  HeldLock background(SyncRole::Background);
  ASSERT_TRUE(background.locked());

  auto const start = Clock::now();
  auto first_pass = std::async(std::launch::async, [&] { return serve(server.port()); });
  while (!link().serving(id) && Clock::now() - start < 10s) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(link().serving(id));
  auto second_hello = std::async(
      std::launch::async, [&] { return second.tls(link().tcp_port(), hello(second_id, 0)).reply; });
  EXPECT_EQ(second_hello.wait_for(1500ms), std::future_status::timeout)
      << "answered during the pass";
  background.release();

  expect_complete_pass(first_pass.get(), 1);
  std::string const second_reply = second_hello.get();
  std::string const all = log();
  EXPECT_GT(all.rfind(said("device_hello")), all.find(said("device_pass_finished")))
      << "the second phone is heard after the pass";
  std::vector<std::string> const lines = lines_of(second_reply);
  ASSERT_EQ(lines.size(), 2u) << second_reply;
  EXPECT_EQ(lines[0].rfind(R"({"type":"items",)", 0), 0u);
  EXPECT_EQ(lines[1], R"({"type":"idle"})");
}

TEST_F(PhonePass, AnEmptiedPhoneFolderDeletesNothingOnThePc) {
  // Both ways: the pairs are remembered, and a phone folder found empty looks like one that the
  // phone did not offer this time, whichever side of the item it is and however deep the walk.
  struct Case {
    char const* name;
    bool phone_is_source;
    KVO_Core::SyncItemType type;
  };
  for (Case const& c : {Case{"tree", true, KVO_Core::SyncItemType::Tree},
                        Case{"level", false, KVO_Core::SyncItemType::Directory}}) {
    SCOPED_TRACE(c.name);
    if (c.phone_is_source)
      phone_files(c.name, {"a.jpg", "b.jpg"});
    else
      for (char const* file : {"a.jpg", "b.jpg"})
        test_support::write_file(pc_root() / c.name / file, std::string(c.name) + "/" + file);
    KVO_Core::SyncItem item = from_phone(c.name, !c.phone_is_source);
    item.type = c.type;
    item.flags.twoWaySync = true;
    Config::instance()->add(item, false);
  }
  expect_complete_pass(serve(server.port()), 2);
  for (char const* name : {"tree", "level"})
    ASSERT_TRUE(fs::exists(phone_root() / name / "b.jpg") && fs::exists(pc_root() / name / "b.jpg"))
        << name << log();

  for (char const* name : {"tree", "level"}) {
    fs::remove(phone_root() / name / "a.jpg");
    fs::remove(phone_root() / name / "b.jpg");
  }
  std::string const reply = serve(server.port());
  EXPECT_GE(errors_of(reply), 2) << reply << log();
  for (char const* name : {"tree", "level"})
    for (char const* file : {"a.jpg", "b.jpg"})
      EXPECT_EQ(test_support::read_file(pc_root() / name / file), std::string(name) + "/" + file);
}

}  // namespace
