// Runs the real service binary with HOME in a temporary folder: its configuration, log, state
// and status files, and polling helpers with generous limits.
#pragma once

#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace service_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One item of the configuration; flags are JSON members of "syncflags" beyond the required ones.
struct Item {
  std::string name;
  std::string type = "Datei";
  fs::path source;
  fs::path target;
  bool two_way = false;
  std::string cycle = "1";
  std::string flags;  // e.g. R"(, "encryptTarget": "true")"
};

inline Item item(std::string name, fs::path source, fs::path target, bool two_way = false,
                 std::string flags = "") {
  Item i;
  i.name = std::move(name);
  i.source = std::move(source);
  i.target = std::move(target);
  i.two_way = two_way;
  i.flags = std::move(flags);
  return i;
}

inline std::string json_text(std::string const& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

inline std::string config_json(std::vector<Item> const& items) {
  std::string text = R"({"Settings": {"Language": "en"},
  "Logging": {"LogLevel": "Info"},
  "Syncitems": {)";
  bool first = true;
  for (Item const& item : items) {
    if (!first) text += ",";
    first = false;
    text += "\n    \"Syncitem\": {\"name\": \"" + json_text(item.name) + "\", \"type\": \"" +
            item.type + "\", \"source\": \"" + json_text(item.source.string()) +
            "\", \"target\": \"" + json_text(item.target.string()) +
            "\", \"wildcard\": \"\", \"SyncCycle\": \"" + item.cycle +
            "\", \"syncflags\": {\"delAftercopy\": \"false\", \"twoWaySync\": \"" +
            (item.two_way ? "true" : "false") +
            "\", \"copyWhenTargetNewer\": \"false\", \"fatherSonPrinciple\": \"false\", "
            "\"enabled\": \"true\"" +
            item.flags + "}}";
  }
  text += "}}\n";
  return text;
}

inline bool eventually(std::function<bool()> const& pred, std::chrono::milliseconds limit = 10s) {
  auto const end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

inline unsigned mode_of(fs::path const& p) {
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

class Service : public ::testing::Test {
 protected:
  fs::path data_dir() const { return home.path() / "Library/Application Support/pellimoravin"; }
  fs::path config_file() const { return data_dir() / "pellimoravin.json"; }
  fs::path log_file() const { return home.path() / ".cache/pellimoravin/pellimoravin.log"; }
  fs::path status_file(std::string const& name) const {
    return data_dir() / "status" / (name + ".status");
  }
  std::string log() const { return test_support::read_file(log_file()); }
  std::size_t log_count(std::string const& part) const {
    std::string const all = log();
    std::size_t n = 0;
    for (auto at = all.find(part); at != std::string::npos; at = all.find(part, at + 1)) ++n;
    return n;
  }

  // Writes the configuration with a write time that differs from the previous one.
  void write_config(std::string const& text) {
    fs::create_directories(data_dir());
    bool const existed = fs::exists(config_file());
    auto const before = existed ? fs::last_write_time(config_file()) : fs::file_time_type();
    test_support::write_file(config_file(), text);
    if (existed && fs::last_write_time(config_file()) == before)
      fs::last_write_time(config_file(), before + 1s);
  }

  // Starts the service; the targets' folders are there (a local target needs its parent).
  void start() {
    fs::create_directories(files / "dst");
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setenv("HOME", home.path().c_str(), 1);
      unsetenv("XDG_CACHE_HOME");
      execl(PELLI_BINARY_DIR "/bin/tessvald", "tessvald", nullptr);
      _exit(127);
    }
  }

  // SIGTERM; the exit status, or -1 when it did not end within the limit.
  int terminate(std::chrono::milliseconds limit = 3s) {
    if (pid <= 0) return -1;
    ::kill(pid, SIGTERM);
    int status = 0;
    auto const end = std::chrono::steady_clock::now() + limit;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) return -1;
      std::this_thread::sleep_for(20ms);
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void TearDown() override {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }

  test_support::TempDir home;
  test_support::TempDir files;
  pid_t pid = -1;
};

}  // namespace service_test
