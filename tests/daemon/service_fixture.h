// Runs the real service binary with HOME in a temporary folder: its configuration, log, state
// and status files, and polling helpers with generous limits.
#pragma once

#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
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
  std::string flags;    // e.g. R"(, "encryptTarget": "true")"
  bool moving = false;  // delAftercopy: sources are removed once copied
  bool enabled = true;
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

// The same for a whole directory tree.
inline Item tree_item(std::string name, fs::path source, fs::path target, bool two_way = false,
                      std::string flags = "") {
  Item i = item(std::move(name), std::move(source), std::move(target), two_way, std::move(flags));
  i.type = "Verzeichnisbaum";
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

// A configuration that reads without an error line: a "Settings" member with the flags it
// requires and English texts, plus `extra_settings` (members, each with a leading comma), all on
// the first line; then the items. Without a "Logging" member the log keeps its defaults (level
// Info, the file under HOME's cache folder).
inline std::string config_json(std::vector<Item> const& items, std::string const& extra_settings) {
  std::string text =
      R"({"Settings": {"StartMinimzed": "false", "MinimizeInsteadOfClose": "false", )"
      R"("Autostart": "false", "StartSyncAtStart": "false", "Language": "en")" +
      extra_settings + R"(},
  "Syncitems": {)";
  bool first = true;
  for (Item const& item : items) {
    if (!first) text += ",";
    first = false;
    text += "\n    \"Syncitem\": {\"name\": \"" + json_text(item.name) + "\", \"type\": \"" +
            item.type + "\", \"source\": \"" + json_text(item.source.string()) +
            "\", \"target\": \"" + json_text(item.target.string()) +
            "\", \"wildcard\": \"\", \"SyncCycle\": \"" + item.cycle +
            "\", \"syncflags\": {\"delAftercopy\": \"" + (item.moving ? "true" : "false") +
            "\", \"twoWaySync\": \"" + (item.two_way ? "true" : "false") +
            "\", \"copyWhenTargetNewer\": \"false\", \"fatherSonPrinciple\": \"false\", "
            "\"enabled\": \"" +
            (item.enabled ? "true" : "false") + "\"" + item.flags + "}}";
  }
  text += "}}\n";
  return text;
}

inline std::string config_json(std::vector<Item> const& items) { return config_json(items, ""); }

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

// Everything below `root` by relative path: a folder as "/", a link as "-> " and its target, a
// file as its content. Empty when the root is missing.
inline std::map<std::string, std::string> tree_of(fs::path const& root) {
  std::map<std::string, std::string> tree;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    std::string const name = it->path().lexically_relative(root).string();
    if (it->is_symlink())
      tree[name] = "-> " + fs::read_symlink(it->path()).string();
    else if (it->is_directory())
      tree[name] = "/";
    else
      tree[name] = test_support::read_file(it->path());
  }
  return tree;
}

// A file of `megabytes` MiB of a repeated pattern, with its folders.
inline void write_large_file(fs::path const& file, int megabytes) {
  fs::create_directories(file.parent_path());
  std::string block(1 << 20, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
  std::FILE* f = std::fopen(file.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  for (int i = 0; i < megabytes; ++i) std::fwrite(block.data(), 1, block.size(), f);
  ASSERT_EQ(std::fclose(f), 0);
}

// Whether two files hold the same bytes.
inline bool same_content(fs::path const& a, fs::path const& b) {
  std::ifstream x(a, std::ios::binary);
  std::ifstream y(b, std::ios::binary);
  std::vector<char> p(1 << 20), q(1 << 20);
  while (x && y) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin()))
      return false;
  }
  return x.eof() && y.eof();
}

// The names directly inside a folder, sorted.
inline std::vector<std::string> names_in(fs::path const& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class Service : public ::testing::Test {
 protected:
  fs::path data_dir() const { return home.path() / "Library/Application Support/pellimoravin"; }
  fs::path config_file() const { return data_dir() / "pellimoravin.json"; }
  fs::path log_file() const { return home.path() / ".cache/pellimoravin/pellimoravin.log"; }
  fs::path status_file(std::string const& name) const {
    return data_dir() / "status" / (name + ".status");
  }
  // The "key\tvalue" lines of an item's status file; its first line under the key "".
  std::map<std::string, std::string> status_of(std::string const& name) const {
    std::map<std::string, std::string> values;
    std::istringstream in(test_support::read_file(status_file(name)));
    std::getline(in, values[""]);
    for (std::string line; std::getline(in, line);) {
      auto const tab = line.find('\t');
      if (tab != std::string::npos) values[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return values;
  }
  std::string log() const { return test_support::read_file(log_file()); }
  std::size_t log_count(std::string const& part) const {
    std::string const all = log();
    std::size_t n = 0;
    for (auto at = all.find(part); at != std::string::npos; at = all.find(part, at + 1)) ++n;
    return n;
  }
  // The lines of the log, without their line feeds.
  std::vector<std::string> log_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(log());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The log lines at a level ("Error" finds no "FatalError" line).
  std::vector<std::string> lines_at(std::string const& level) const {
    std::vector<std::string> found;
    for (std::string const& line : log_lines())
      if (line.find(" " + level + "\t") != std::string::npos) found.push_back(line);
    return found;
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
    pid = spawn();
    ASSERT_GE(pid, 0);
  }

  // Starts one more instance of the service with the same HOME; its pid (-1 when fork failed).
  // The caller ends it (terminate_process).
  pid_t spawn() const {
    pid_t const child = fork();
    if (child == 0) {
      setenv("HOME", home.path().c_str(), 1);
      unsetenv("XDG_CACHE_HOME");
      // Lines logged before the configuration names a language are English too.
      setenv("LANGUAGE", "en", 1);
      execl(PELLI_BINARY_DIR "/bin/tessvald", "tessvald", nullptr);
      _exit(127);
    }
    return child;
  }

  // Halts the service (SIGSTOP) as soon as `folder` holds more than `names` entries: once a copy
  // into it has begun, its staging file appears beside the others. Polled tightly, since every
  // millisecond of delay lets the copy run on at full speed.
  void halt_when_copying(fs::path const& folder, std::size_t names) {
    auto const end = std::chrono::steady_clock::now() + 20s;
    while (names_in(folder).size() <= names) {
      ASSERT_LT(std::chrono::steady_clock::now(), end) << "no copy began\n" << log();
      std::this_thread::sleep_for(1ms);
    }
    ::kill(pid, SIGSTOP);
  }

  // Whether the service has its SIGTERM handler in place (bit 15 of SigCgt); a signal sent before
  // that would end it by the default action.
  bool handles_sigterm() const {
    std::string const status = test_support::read_file("/proc/" + std::to_string(pid) + "/status");
    auto const at = status.find("SigCgt:\t");
    return at != std::string::npos &&
           (std::stoull(status.substr(at + 8, 16), nullptr, 16) & (1ull << (SIGTERM - 1))) != 0;
  }

  // Whether the service still runs; one that ended is reaped (and `pid` cleared).
  bool alive() {
    if (pid <= 0) return false;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) return true;
    pid = -1;
    return false;
  }

  // SIGTERM; the exit status, or -1 when it did not end within the (generous) limit.
  int terminate(std::chrono::milliseconds limit = 20s) {
    int const status = terminate_process(pid, limit);
    if (status != -2) pid = -1;
    return status < 0 ? -1 : status;
  }

  // SIGTERM to a process of the service; its exit status, -1 when it ended otherwise, -2 when
  // it did not end within the limit (it is left running then).
  static int terminate_process(pid_t process, std::chrono::milliseconds limit = 20s) {
    if (process <= 0) return -1;
    ::kill(process, SIGTERM);
    int status = 0;
    auto const end = std::chrono::steady_clock::now() + limit;
    while (::waitpid(process, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) return -2;
      std::this_thread::sleep_for(20ms);
    }
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
