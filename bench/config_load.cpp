// Reads and writes a configuration of 10,000 sync items and times both, next to Python's json
// module loading and dumping the same file. Run: bench_config_load [items]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/config/Config.h"
#include "utilities/Paths.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string item(int i) {
  std::string n = std::to_string(i);
  return R"({"compareitems": {"size": "true", "time": "true", "content": "false",
      "timeToleranceSeconds": "2"}, "exclusions": ["*.tmp", "~*"],
    "syncflags": {"delAftercopy": "false", "twoWaySync": "true", "copyWhenTargetNewer": "false",
      "fatherSonPrinciple": "true", "maxGenerations": "3", "encryptTarget": "false",
      "maxFileMB": "0", "scheduleLimited": "false", "scheduleFrom": "0", "scheduleUntil": "0",
      "scheduleDays": "127", "syncDeletions": "true", "backupProof": "false",
      "syncEmptyFiles": "false", "warnIfUnreachable": "true", "trackMoves": "false",
      "conflictCopies": "true", "watchChanges": "false", "symlinks": "fileContent",
      "enabled": "true"},
    "name": "item )" +
         n + R"(", "type": "Verzeichnisbaum", "source": "/home/me/source/)" + n +
         R"(", "sourceType": "filesystem", "target": "/backup/target/)" + n +
         R"(", "targetType": "filesystem", "wildcard": "*", "SyncCycle": "60"})";
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  auto home =
      std::filesystem::temp_directory_path() / ("config-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(home);
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);

  auto file = home / "items.json";
  {
    std::ofstream out(file);
    out << "{\"Syncitems\": [";
    for (int i = 0; i < count; ++i) out << (i ? ",\n" : "\n") << item(i);
    out << "]}\n";
  }
  std::printf("%d items, %ju bytes\n", count,
              static_cast<std::uintmax_t>(std::filesystem::file_size(file)));

  auto* config = KVO_Core::Config::instance();
  auto start = Clock::now();
  bool read = config->read(Utilities::from_path(file));
  double read_s = seconds_since(start);
  start = Clock::now();
  bool written = config->write(Utilities::from_path(home / "written.json"));
  double write_s = seconds_since(start);
  std::printf("pellimoravin read  %.3f s (%s, %zu items)\n", read_s, read ? "ok" : "FAILED",
              config->syncitems().size());
  std::printf("pellimoravin write %.3f s (%s)\n", write_s, written ? "ok" : "FAILED");
  // The file as the service itself writes it (one value a line, indented) read back.
  auto written_file = home / "written.json";
  start = Clock::now();
  bool reread = config->read(Utilities::from_path(written_file));
  double reread_s = seconds_since(start);
  std::printf(
      "pellimoravin read of its own file (%ju bytes) %.3f s (%s, %zu items)\n",
      static_cast<std::uintmax_t>(std::filesystem::file_size(written_file)), reread_s,
      reread && config->syncitems().size() == static_cast<std::size_t>(count) ? "ok" : "FAILED",
      config->syncitems().size());
  std::fflush(stdout);  // before the peer's lines

  std::string peer = "python3 -c \"import json,time;t=time.monotonic();d=json.load(open('" +
                     file.string() +
                     "'));r=time.monotonic()-t;t=time.monotonic();json.dump(d,open('" +
                     (home / "peer.json").string() +
                     "','w'),indent=4);print('python json  read  %.3f s\\npython json  write %.3f "
                     "s'%(r,time.monotonic()-t))\"";
  int peer_status = std::system(peer.c_str());
  std::filesystem::remove_all(home);
  return read && written && reread && peer_status == 0 ? 0 : 1;
}
