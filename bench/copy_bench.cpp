// copy_bench [SMALL_FILES] [LARGE_MB] [ROUNDS]: copies a tree of many small files and one large
// file with the engine's transfer (staged, verified, stamped) and with `cp -a` and `rsync -a` on
// the same trees in the same run, and prints the best times and the ratios to the peers. The
// small files are copied twice: without a log file, and with one at the service's default level.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/config/SyncItem.h"
#include "core/control/Synchronize.h"
#include "core/sync/SyncFile.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

void write_bytes(fs::path const& file, std::size_t size, char fill) {
  std::ofstream out(file, std::ios::binary);
  std::string const block(1 << 16, fill);
  for (std::size_t done = 0; done < size; done += block.size())
    out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - done)));
}

double seconds_of(std::function<void()> const& job) {
  ::sync();
  auto const start = Clock::now();
  job();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void engine_copy(fs::path const& from, fs::path const& to) {
  std::atomic<bool> stop{false};
  KVO_Core::Synchronize::StopOverride running(stop);
  std::uint64_t count = 0;
  fs::create_directories(to);
  for (auto const& entry : fs::directory_iterator(from)) {
    KVO_Core::SyncItem const item(
        L"bench", KVO_Core::SyncItemType::File, Utilities::from_path(entry.path()),
        Utilities::from_path(to / entry.path().filename()), L"", KVO_Core::Exclusions{},
        KVO_Core::SyncFlags{}, KVO_Core::CompareItems{});
    KVO_Core::SyncFile(item, count, false, false, nullptr, L"", L"")();
  }
}

int peer(std::string const& command) { return std::system(command.c_str()); }

// Each tool runs once per round, the order turning every round, and its best time counts: on
// some file systems a freshly deleted tree makes the next inode allocations slow for a while,
// which would otherwise fall on whoever runs first.
void compare(char const* label, fs::path const& source, fs::path const& work, int rounds) {
  std::vector<std::pair<char const*, std::function<void(fs::path const&)>>> const tools{
      {"ours", [&](fs::path const& to) { engine_copy(source, to); }},
      {"cp",
       [&](fs::path const& to) { peer("cp -a '" + source.string() + "' '" + to.string() + "'"); }},
      {"rsync", [&](fs::path const& to) {
         peer("rsync -a '" + source.string() + "/' '" + to.string() + "/'");
       }}};
  std::vector<double> best(tools.size(), 1e300);
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < tools.size(); ++i) {
      std::size_t const t = (i + static_cast<std::size_t>(round)) % tools.size();
      fs::path const to = work / tools[t].first;
      best[t] = std::min(best[t], seconds_of([&] { tools[t].second(to); }));
    }
    for (auto const& tool : tools) fs::remove_all(work / tool.first);
  }
  std::printf(
      "%-24s engine %8.3f s   cp -a %8.3f s (ratio %5.2f)   rsync -a %8.3f s (ratio %5.2f)\n",
      label, best[0], best[1], best[0] / best[1], best[2], best[0] / best[2]);
}

}  // namespace

int main(int argc, char** argv) {
  int const small_files = argc > 1 ? std::atoi(argv[1]) : 5000;
  std::size_t const large_mb = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 512;
  int const rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  fs::path const work = fs::temp_directory_path() / ("copy_bench-" + std::to_string(::getpid()));
  fs::create_directories(work / "small");
  fs::create_directories(work / "large");
  for (int i = 0; i < small_files; ++i)
    write_bytes(work / "small" / ("f" + std::to_string(i)), 4096 + (i % 7) * 1000, 's');
  write_bytes(work / "large" / "big", large_mb << 20, 'l');
  std::printf("%d small files, one file of %zu MiB, best of %d rounds, in %s\n", small_files,
              large_mb, rounds, work.string().c_str());
  compare("small files", work / "small", work, rounds);
  // The service always has its log open at Info, where every copy writes synced lines.
  auto& logger = Utilities::Logging::instance();
  logger.set_log_file_path_name(Utilities::from_path(work / "log" / "bench.log"));
  logger.open_file();
  compare("small files, log at Info", work / "small", work, rounds);
  logger.close_file();
  logger.set_log_file_path_name(L"");
  compare("large file", work / "large", work, rounds);
  fs::remove_all(work);
  return 0;
}
