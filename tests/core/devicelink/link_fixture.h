// A device link of the test's own in the private scope (loopback, free ports, the role lock in a
// temporary folder of the test), a scripted phone, the log at Debug in a file, and the
// configuration emptied before and after.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "core/config/Config.h"
#include "core/devicelink/DeviceLink.h"
#include "support/fake_phone.h"
#include "support/temp_dir.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace devicelink_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string made_folder(fs::path const& path) {
  fs::create_directories(path);
  return path.string();
}

// 32 lower-case hex digits from a small number.
inline std::string device_id(int n) {
  char text[33];
  std::snprintf(text, sizeof text, "%032x", n);
  return text;
}

inline std::size_t count_of(std::string const& all, std::string const& part) {
  std::size_t n = 0;
  for (auto at = all.find(part); at != std::string::npos; at = all.find(part, at + 1)) ++n;
  return n;
}

class LinkTest : public ::testing::Test {
 protected:
  LinkTest()
      : home_("HOME", dir.path().c_str()),
        tmpdir_("TMPDIR", made_folder(dir / "tmp").c_str()),
        phone(dir / "phone", "phone") {
    KVO_Core::DeviceLink::use_private_scope();
    KVO_Core::DeviceLink::set_session_limits(3s, 10s);
    KVO_Core::Config::instance()->reset();
    auto& log = Utilities::Logging::instance();
    log.set_log_file_path_name(Utilities::from_path(dir / "test.log"));
    log.set_log_level(Utilities::LogLevel::Debug);
    log.open_file();
  }
  ~LinkTest() override {
    link().stop();
    KVO_Core::DeviceLink::set_session_limits(3s, 10s);
    KVO_Core::Config::instance()->reset();
  }

  static KVO_Core::DeviceLink& link() { return KVO_Core::DeviceLink::instance(); }
  fs::path link_dir() const { return dir / "link"; }
  bool start() { return link().start(link_dir(), 0, 0); }
  std::string log() const { return test_support::read_file(dir / "test.log"); }
  static std::string said(char const* id) { return Utilities::translation::translate_utf8(id); }

  // A "pair" line for the phone with `id`.
  static std::string pair_line(std::string const& token, std::string const& id,
                               std::string const& name = "Phone",
                               std::string const& host_key = "ssh-ed25519 AAAA") {
    return R"({"type":"pair","token":")" + token + R"(","device":{"id":")" + id + R"(","name":")" +
           name + R"(","sshHostKey":")" + host_key + R"(","sftpPort":"2222"},"appVersion":"1.0"})" +
           "\n";
  }
  static std::string hello_line(std::string const& id, std::string const& extra = "") {
    return R"({"type":"hello","deviceId":")" + id + R"(","sftpPort":"2222")" + extra + "}\n";
  }
  static std::string error(std::string const& reason) {
    return R"({"type":"error","reason":")" + reason + "\"}\n";
  }
  std::string paired_reply() const {
    return R"({"type":"paired","pc":{"name":")" + KVO_Core::pc_name() + R"(","fingerprint":")" +
           link().fingerprint() + R"(","version":"1"}})" + "\n";
  }
  // Configures a phone whose certificate has `fingerprint`.
  static void configure_device(std::string const& id, std::string const& fingerprint) {
    KVO_Core::Config::instance()->add(KVO_Core::Device{id, "Phone", fingerprint, ""}, false);
  }

  test_support::TempDir dir;
  test_support::ScopedEnv home_;
  test_support::ScopedEnv tmpdir_;
  test_support::FakePhone phone;
};

}  // namespace devicelink_test
