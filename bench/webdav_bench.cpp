// webdav_bench URL USER PASSWORD [SIZE [ROUNDS [FOLDER]]]: uploads one file of SIZE bytes
// (default 1 GiB; suffixes K, M, G) to the WebDAV folder URL and downloads it again, with this
// program's WebDAV store and with curl (and rclone when it is installed), each transfer in a
// child process of its own, ROUNDS times (default 3, the tools taking turns). Prints the best
// times and the ratios (the peer's time / ours: above 1 means ours is faster). FOLDER (default
// the temporary folder) holds the local files; every download is checked byte for byte.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/cloud/webdav/WebdavStore.h"
#include "core/run/RunContext.h"

namespace fs = std::filesystem;
using namespace KVO_Core;

namespace {

// Seconds of `work` in a child process; negative when it failed.
double in_child(std::function<int()> const& work) {
  auto const start = std::chrono::steady_clock::now();
  pid_t const pid = ::fork();
  if (pid == 0) ::_exit(work());
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool on_path(std::string const& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

struct Peer {
  std::string name;
  std::function<int(fs::path const&, std::string const&)> upload;
  std::function<int(std::string const&, fs::path const&)> download;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: webdav_bench URL USER PASSWORD [SIZE [ROUNDS [FOLDER]]]\n";
    return 2;
  }
  std::string const url = argv[1];
  SshAccount account;
  account.set_name("bench");
  account.set_user(argv[2]);
  account.set_password(argv[3]);
  account.url = url;
  std::uint64_t const size = bench::parse_size(argc > 4 ? argv[4] : "1G");
  int const rounds = argc > 5 ? std::stoi(argv[5]) : 3;
  fs::path const folder = (argc > 6 ? fs::path(argv[6]) : fs::temp_directory_path()) /
                          ("webdav-bench-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  fs::path const source = folder / "source.bin";
  {
    std::ofstream out(source, std::ios::binary);
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::uint64_t left = size; left > 0;) {
      for (auto& word : block) word = random();
      std::uint64_t const n = std::min<std::uint64_t>(left, block.size() * 8);
      out.write(reinterpret_cast<char const*>(block.data()), static_cast<std::streamsize>(n));
      left -= n;
    }
  }
  std::string const credentials = std::string(argv[2]) + ":" + argv[3];
  std::string const base = url.back() == '/' ? url : url + "/";

  std::vector<Peer> peers;
  peers.push_back({"pellimoravin",
                   [&](fs::path const& local, std::string const& name) {
                     std::atomic<bool> running{false};
                     RunContext::StopOverride const go(running);
                     return webdav::upload(local, account, name) == CopyResult::Done ? 0 : 1;
                   },
                   [&](std::string const& name, fs::path const& local) {
                     std::atomic<bool> running{false};
                     RunContext::StopOverride const go(running);
                     return webdav::download(account, name, local) == CopyResult::Done ? 0 : 1;
                   }});
  peers.push_back(
      {"curl",
       [&](fs::path const& local, std::string const& name) {
         return bench::exec({"curl", "-sSf", "-u", credentials, "-T", local.string(), base + name});
       },
       [&](std::string const& name, fs::path const& local) {
         return bench::exec({"curl", "-sSf", "-u", credentials, "-o", local.string(), base + name});
       }});
  if (on_path("rclone")) {
    // rclone takes its remote from the environment; its password only in its obscured form.
    ::setenv("RCLONE_CONFIG_BENCH_TYPE", "webdav", 1);
    ::setenv("RCLONE_CONFIG_BENCH_URL", url.c_str(), 1);
    ::setenv("RCLONE_CONFIG_BENCH_USER", argv[2], 1);
    std::string obscured;
    if (FILE* p = ::popen(("rclone obscure '" + std::string(argv[3]) + "'").c_str(), "r")) {
      char buffer[256];
      while (std::fgets(buffer, sizeof buffer, p)) obscured += buffer;
      ::pclose(p);
    }
    while (!obscured.empty() && obscured.back() == '\n') obscured.pop_back();
    ::setenv("RCLONE_CONFIG_BENCH_PASS", obscured.c_str(), 1);
    peers.push_back(
        {"rclone",
         [&](fs::path const& local, std::string const& name) {
           return bench::exec({"rclone", "copyto", "-q", local.string(), "bench:" + name});
         },
         [&](std::string const& name, fs::path const& local) {
           return bench::exec({"rclone", "copyto", "-q", "bench:" + name, local.string()});
         }});
  }

  std::map<std::string, double> best_up, best_down;
  bool ok = true;
  for (int round = 0; round < rounds; ++round) {
    for (Peer const& peer : peers) {
      std::string const name = "bench-" + peer.name + ".bin";
      fs::path const back = folder / ("back-" + peer.name + ".bin");
      fs::remove(back);
      double const up = in_child([&] { return peer.upload(source, name); });
      double const down = in_child([&] { return peer.download(name, back); });
      if (up < 0 || down < 0 || !bench::same_content(source, back)) {
        std::cerr << peer.name << ": transfer failed or bytes differ\n";
        ok = false;
        continue;
      }
      for (auto [best, value] : {std::pair{&best_up, up}, {&best_down, down}}) {
        auto const [it, fresh] = best->emplace(peer.name, value);
        if (!fresh) it->second = std::min(it->second, value);
      }
      fs::remove(back);
    }
  }
  std::printf("WebDAV %llu bytes, best of %d rounds\n", static_cast<unsigned long long>(size),
              rounds);
  for (Peer const& peer : peers) {
    if (!best_up.count(peer.name)) continue;
    double const up = best_up[peer.name], down = best_down[peer.name];
    std::printf("  %-13s upload %7.3f s (%7.1f MB/s)  download %7.3f s (%7.1f MB/s)",
                peer.name.c_str(), up, size / up / 1e6, down, size / down / 1e6);
    if (peer.name != "pellimoravin" && best_up.count("pellimoravin")) {
      std::printf("  ratio %s/ours: upload %.2f download %.2f", peer.name.c_str(),
                  up / best_up["pellimoravin"], down / best_down["pellimoravin"]);
    }
    std::printf("\n");
  }
  fs::remove_all(folder);
  return ok ? 0 : 1;
}
