// copy_bench [SMALL_FILES] [LARGE_MB]: copies a tree of many small files and one large file with
// the engine's transfer (staged, verified, stamped) and with `cp -a` and `rsync -a` on the same
// trees in the same run, and prints the times and the ratios to the peers.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/config/SyncItem.h"
#include "core/control/Synchronize.h"
#include "core/sync/SyncFile.h"
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

void compare(char const* label, fs::path const& source, fs::path const& work) {
  double const ours = seconds_of([&] { engine_copy(source, work / "ours"); });
  double const cp =
      seconds_of([&] { peer("cp -a '" + source.string() + "' '" + (work / "cp").string() + "'"); });
  double const rsync = seconds_of(
      [&] { peer("rsync -a '" + source.string() + "/' '" + (work / "rsync").string() + "/'"); });
  std::printf(
      "%-12s engine %8.3f s   cp -a %8.3f s (ratio %5.2f)   rsync -a %8.3f s (ratio %5.2f)\n",
      label, ours, cp, ours / cp, rsync, ours / rsync);
  fs::remove_all(work / "ours");
  fs::remove_all(work / "cp");
  fs::remove_all(work / "rsync");
}

}  // namespace

int main(int argc, char** argv) {
  int const small_files = argc > 1 ? std::atoi(argv[1]) : 5000;
  std::size_t const large_mb = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 512;
  fs::path const work = fs::temp_directory_path() / ("copy_bench-" + std::to_string(::getpid()));
  fs::create_directories(work / "small");
  fs::create_directories(work / "large");
  for (int i = 0; i < small_files; ++i)
    write_bytes(work / "small" / ("f" + std::to_string(i)), 4096 + (i % 7) * 1000, 's');
  write_bytes(work / "large" / "big", large_mb << 20, 'l');
  std::printf("%d small files, one file of %zu MiB, in %s\n", small_files, large_mb,
              work.string().c_str());
  compare("small files", work / "small", work);
  compare("large file", work / "large", work);
  fs::remove_all(work);
  return 0;
}
