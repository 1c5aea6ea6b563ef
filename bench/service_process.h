// The real service run as a child process for the benchmarks: its configuration, start and
// stop, and the trees and timings the benchmarks share.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace service_process {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using Wall = std::chrono::system_clock;

inline double seconds(Steady::duration d) { return std::chrono::duration<double>(d).count(); }

inline std::string read_text(fs::path const& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void write_text(fs::path const& file, std::string const& text) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

inline std::string json_text(std::string const& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

struct Summary {
  double min = 0, median = 0, max = 0;
};

inline Summary summary(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  std::size_t const n = values.size();
  double const median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {values.front(), median, values.back()};
}

// `folders` folders of `per_folder` files of 1..8 KiB, written with distinct contents.
inline void make_tree(fs::path const& root, int folders, int per_folder) {
  for (int d = 0; d < folders; ++d) {
    fs::path const dir = root / ("folder" + std::to_string(d));
    fs::create_directories(dir);
    for (int f = 0; f < per_folder; ++f) {
      std::size_t const size = 1024 + static_cast<std::size_t>((d * 131 + f * 977) % 7168);
      std::string text(size, static_cast<char>('a' + (d + f) % 26));
      std::string const tag = std::to_string(d) + "/" + std::to_string(f) + "\n";
      text.replace(0, std::min(tag.size(), text.size()), tag);
      write_text(dir / ("file" + std::to_string(f) + ".txt"), text);
    }
  }
}

inline bool poll(std::function<bool()> const& done, Steady::duration limit,
                 Steady::duration step = 2ms) {
  auto const end = Steady::now() + limit;
  while (!done()) {
    if (Steady::now() > end) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

struct Item {
  std::string name;
  std::string type = "Verzeichnisbaum";
  fs::path source;
  fs::path target;
  int cycle = 1;
  bool watch = false;
  bool quick_check = false;  // compare by size and time only, as rsync does; else by contents
};

// The items' compare setting left out means the default: file contents.
inline constexpr char const* QUICK_CHECK =
    R"(, "compareitems": {"size": "true", "time": "true", "content": "false"})";

class Service {
 public:
  Service(fs::path program, fs::path home, std::string log_level)
      : program_(std::move(program)), home_(std::move(home)), log_level_(std::move(log_level)) {}
  Service(Service const&) = delete;
  Service& operator=(Service const&) = delete;
  ~Service() { stop(); }

  fs::path data_dir() const { return home_ / "Library/Application Support/pellimoravin"; }
  fs::path log_file() const { return home_ / ".cache/pellimoravin/pellimoravin.log"; }
  fs::path status_file(std::string const& item) const {
    return data_dir() / "status" / (item + ".status");
  }
  pid_t pid() const { return pid_; }

  // `sections`: further top-level members, each followed by a comma.
  void configure(std::vector<Item> const& items, std::string const& sections = "") {
    std::string text =
        R"({"Settings": {"StartMinimzed": "false", "MinimizeInsteadOfClose": "false",
  "Autostart": "false", "StartSyncAtStart": "true", "Language": "en"},
  "Logging": {"LogLevel": ")" +
        log_level_ + R"(", "LogFilePathName": ")" + json_text(log_file().string()) +
        R"(", "RetentionDays": "7", "EditorPathName": ""},
  )" + sections +
        R"(
  "Syncitems": {)";
    for (std::size_t i = 0; i < items.size(); ++i) {
      Item const& it = items[i];
      text += (i ? ",\n" : "\n") + std::string("  \"Syncitem\": {\"name\": \"") +
              json_text(it.name) + "\", \"type\": \"" + it.type + "\", \"source\": \"" +
              json_text(it.source.string()) + "\", \"target\": \"" + json_text(it.target.string()) +
              "\", \"wildcard\": \"\", \"SyncCycle\": \"" + std::to_string(it.cycle) +
              "\", \"syncflags\": {\"delAftercopy\": \"false\", \"twoWaySync\": \"false\", "
              "\"copyWhenTargetNewer\": \"false\", \"fatherSonPrinciple\": \"false\", "
              "\"enabled\": \"true\", \"watchChanges\": \"" +
              (it.watch ? "true" : "false") + "\"}" + (it.quick_check ? QUICK_CHECK : "") + "}";
    }
    text += "}}\n";
    fs::path const file = data_dir() / "pellimoravin.json";
    bool const existed = fs::exists(file);
    auto const before = existed ? fs::last_write_time(file) : fs::file_time_type();
    write_text(file, text);
    // The service notices a new configuration by its write time.
    if (existed && fs::last_write_time(file) <= before) fs::last_write_time(file, before + 1s);
  }

  void start() {
    started_ = Wall::now();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::setenv("HOME", home_.c_str(), 1);
      ::setenv("TZ", "UTC", 1);  // log times are read back as UTC
      ::unsetenv("XDG_CACHE_HOME");
      ::execl(program_.c_str(), "tessvald", nullptr);
      ::_exit(127);
    }
  }

  Wall::time_point started() const { return started_; }

  bool alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    auto const end = Steady::now() + 10s;
    while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (Steady::now() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    pid_ = -1;
  }

  std::size_t log_lines() const {
    std::string const all = read_text(log_file());
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), '\n'));
  }

 private:
  fs::path program_;
  fs::path home_;
  std::string log_level_;
  pid_t pid_ = -1;
  Wall::time_point started_;
};

inline std::optional<Wall::time_point> mtime_of(fs::path const& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return Wall::time_point(std::chrono::duration_cast<Wall::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

inline double wall_seconds(Wall::time_point from, Wall::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// The service binary beside the running benchmark and a fresh work folder named after the
// benchmark; none (with a line on stderr) when either is missing.
struct Setting {
  fs::path program;
  fs::path work;
};
inline std::optional<Setting> prepare(char const* bench) {
  fs::path const program = fs::read_symlink("/proc/self/exe").parent_path() / "tessvald";
  if (!fs::exists(program)) {
    std::fprintf(stderr, "%s: %s missing\n", bench, program.c_str());
    return std::nullopt;
  }
  std::string pattern = (fs::temp_directory_path() / (std::string(bench) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "%s: no work folder: %s\n", bench, std::strerror(errno));
    return std::nullopt;
  }
  return Setting{program, pattern};
}

}  // namespace service_process
