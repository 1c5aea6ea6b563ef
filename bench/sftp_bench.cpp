// sftp_bench PORT KEY DIR [MB] [ROUNDS]: uploads and downloads one file of MB MiB (1024) and a
// tree of 2,000 small files through the loopback sshd on PORT with the service's SFTP transfers,
// with OpenSSH's sftp client and, when it is installed, with rclone, in the same run, best of
// ROUNDS (3); prints the times, the speed ratios (the peer's time over the service's: above 1 is
// faster) and the service's peak memory before and after the large file and after the trees;
// then one upload of 8 MiB under a transfer limit of 1024 KiB/s and the rate it kept. DIR is a
// scratch folder the server can reach; HOME should be a scratch folder too (known_hosts lands
// there).
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

#include <sys/resource.h>

#include "core/config/Config.h"
#include "core/control/Synchronize.h"
#include "core/remote/RemoteOps.h"
#include "core/remote/SshSessionScope.h"
#include "utilities/Paths.h"
#include "utilities/Util.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_of(std::function<bool()> const& job) {
  auto const start = Clock::now();
  if (!job()) {
    std::fprintf(stderr, "sftp_bench: a transfer failed\n");
    std::exit(1);
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double max_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// 2,000 files of 1 to 8 KiB in 20 folders, as relative paths.
std::vector<fs::path> make_tree(fs::path const& root) {
  std::vector<fs::path> files;
  for (int d = 0; d < 20; ++d) {
    fs::create_directories(root / ("d" + std::to_string(d)));
    for (int f = 0; f < 100; ++f) {
      fs::path const relative = fs::path("d" + std::to_string(d)) / ("f" + std::to_string(f));
      std::ofstream(root / relative, std::ios::binary)
          << std::string(1024 + static_cast<std::size_t>((d * 100 + f) * 37 % 7168), 'a' + f % 26);
      files.push_back(relative);
    }
  }
  return files;
}

bool same_tree(fs::path const& a, fs::path const& b, std::vector<fs::path> const& files) {
  for (fs::path const& f : files)
    if (!fs::exists(b / f) || fs::file_size(a / f) != fs::file_size(b / f)) return false;
  return true;
}

void print_ratio(char const* what, double ours, char const* peer, double theirs) {
  std::printf("%-22s service %7.2f s, %-6s %7.2f s, speed ratio %.2f\n", what, ours, peer, theirs,
              theirs / ours);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: sftp_bench PORT KEY DIR [MB] [ROUNDS]\n");
    return 2;
  }
  std::string const port = argv[1];
  std::string const key = argv[2];
  fs::path const dir = argv[3];
  std::size_t const megabytes = argc > 4 ? std::stoul(argv[4]) : 1024;
  int const rounds = argc > 5 ? std::stoi(argv[5]) : 3;

  KVO_Core::SshAccount account;
  account.set_name("bench");
  account.set_user("root");
  account.set_host("127.0.0.1");
  account.port = static_cast<std::uint16_t>(std::stoul(port));
  account.keyFile = key;
  KVO_Core::Config::instance()->add(account, true);
  std::atomic<bool> stop{false};
  KVO_Core::Synchronize::StopOverride running(stop);
  KVO_Core::SshSessionScope sessions;

  fs::create_directories(dir);
  fs::path const source = dir / "source.bin";
  {
    std::ofstream out(source, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < megabytes; ++i) {
      for (std::size_t j = 0; j < block.size(); j += 4096) block[j] = static_cast<char>(i + j);
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  auto const remote = [](fs::path const& p) {
    return Utilities::util::string_to_wstring("bench:" + p.string());
  };
  std::string const ssh_options = " -q -P " + port + " -i " + key +
                                  " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null";
  auto const sftp = [&](std::string const& batch) {
    fs::path const file = dir / "batch";
    std::ofstream(file) << batch << "\n";
    return std::system(
               ("sftp -b " + file.string() + ssh_options + " root@127.0.0.1 >/dev/null").c_str()) ==
           0;
  };

  double const rss_before = max_rss_mib();
  double ours_up = 1e9, ours_down = 1e9, peer_up = 1e9, peer_down = 1e9;
  for (int round = 0; round < rounds; ++round) {
    fs::remove(dir / "up.bin");
    ours_up = std::min(ours_up, seconds_of([&] {
                         return KVO_Core::copy_fs_to_ssh(Utilities::from_path(source),
                                                         remote(dir / "up.bin")) ==
                                KVO_Core::CopyResult::Done;
                       }));
    fs::remove(dir / "down.bin.kvo-part");
    ours_down =
        std::min(ours_down, seconds_of([&] {
                   return KVO_Core::copy_ssh_to_fs(
                              remote(source), Utilities::from_path(dir / "down.bin.kvo-part")) ==
                          KVO_Core::CopyResult::Done;
                 }));
    peer_up =
        std::min(peer_up, seconds_of([&] {
                   return sftp("put " + source.string() + " " + (dir / "peer_up.bin").string());
                 }));
    peer_down =
        std::min(peer_down, seconds_of([&] {
                   return sftp("get " + source.string() + " " + (dir / "peer_down.bin").string());
                 }));
  }
  for (char const* copy : {"up.bin", "down.bin.kvo-part", "peer_up.bin", "peer_down.bin"})
    if (fs::file_size(dir / copy) != fs::file_size(source)) {
      std::fprintf(stderr, "sftp_bench: %s has the wrong size\n", copy);
      return 1;
    }
  double const rss_after_large = max_rss_mib();
  std::printf("%zu MiB file over loopback SFTP, best of %d rounds\n", megabytes, rounds);
  print_ratio("large file upload:", ours_up, "sftp", peer_up);
  print_ratio("large file download:", ours_down, "sftp", peer_down);
  std::printf("service max RSS: %.1f MiB before the transfers, %.1f MiB after them\n", rss_before,
              rss_after_large);

  // The tree of small files, one transfer per file as a pass makes them.
  fs::path const tree = dir / "tree";
  std::vector<fs::path> const files = make_tree(tree);
  fs::path const up_tree = dir / "up_tree";
  fs::path const down_tree = dir / "down_tree";
  auto const tree_up = [&] {
    fs::remove_all(up_tree);
    if (!KVO_Core::ssh_mkdir(remote(up_tree))) return false;
    for (int d = 0; d < 20; ++d)
      if (!KVO_Core::ssh_mkdir(remote(up_tree / ("d" + std::to_string(d))))) return false;
    for (fs::path const& f : files)
      if (KVO_Core::copy_fs_to_ssh(Utilities::from_path(tree / f), remote(up_tree / f)) !=
          KVO_Core::CopyResult::Done)
        return false;
    return true;
  };
  auto const tree_down = [&] {
    fs::remove_all(down_tree);
    for (int d = 0; d < 20; ++d) fs::create_directories(down_tree / ("d" + std::to_string(d)));
    for (fs::path const& f : files)
      if (KVO_Core::copy_ssh_to_fs(remote(tree / f), Utilities::from_path(down_tree / f)) !=
          KVO_Core::CopyResult::Done)
        return false;
    return true;
  };
  fs::path const peer_up_tree = dir / "peer_up_tree";
  fs::path const peer_down_tree = dir / "peer_down_tree";
  double tree_ours_up = 1e9, tree_ours_down = 1e9, tree_peer_up = 1e9, tree_peer_down = 1e9;
  for (int round = 0; round < rounds; ++round) {
    tree_ours_up = std::min(tree_ours_up, seconds_of(tree_up));
    tree_ours_down = std::min(tree_ours_down, seconds_of(tree_down));
    fs::remove_all(peer_up_tree);
    fs::remove_all(peer_down_tree);
    tree_peer_up = std::min(tree_peer_up, seconds_of([&] {
                              return sftp("put -r " + tree.string() + " " + peer_up_tree.string());
                            }));
    tree_peer_down =
        std::min(tree_peer_down, seconds_of([&] {
                   return sftp("get -r " + tree.string() + " " + peer_down_tree.string());
                 }));
  }
  for (fs::path const& copy : {up_tree, down_tree, peer_up_tree, peer_down_tree})
    if (!same_tree(tree, copy, files)) {
      std::fprintf(stderr, "sftp_bench: %s differs from the tree\n", copy.c_str());
      return 1;
    }
  std::printf("%zu small files (1 to 8 KiB), best of %d rounds\n", files.size(), rounds);
  print_ratio("tree upload:", tree_ours_up, "sftp", tree_peer_up);
  print_ratio("tree download:", tree_ours_down, "sftp", tree_peer_down);
  std::printf("service max RSS after the trees: %.1f MiB\n", max_rss_mib());

  if (std::system("command -v rclone >/dev/null 2>&1") == 0) {
    // rclone reads its remote from the environment: no configuration file is written.
    std::string const rclone =
        "RCLONE_CONFIG_BENCH_TYPE=sftp RCLONE_CONFIG_BENCH_HOST=127.0.0.1 "
        "RCLONE_CONFIG_BENCH_USER=root RCLONE_CONFIG_BENCH_PORT=" +
        port + " RCLONE_CONFIG_BENCH_KEY_FILE=" + key + " rclone --config /dev/null -q ";
    auto const run = [&](std::string const& args) {
      return std::system((rclone + args + " >/dev/null 2>&1").c_str()) == 0;
    };
    double r_up = 1e9, r_down = 1e9, r_tree_up = 1e9, r_tree_down = 1e9;
    for (int round = 0; round < rounds; ++round) {
      r_up = std::min(
          r_up, seconds_of([&] {
            return run("copyto " + source.string() + " bench:" + (dir / "rclone_up.bin").string());
          }));
      r_down = std::min(r_down, seconds_of([&] {
                          return run("copyto bench:" + source.string() + " " +
                                     (dir / "rclone_down.bin").string());
                        }));
      fs::remove_all(dir / "rclone_up_tree");
      fs::remove_all(dir / "rclone_down_tree");
      r_tree_up = std::min(
          r_tree_up, seconds_of([&] {
            return run("copy " + tree.string() + " bench:" + (dir / "rclone_up_tree").string());
          }));
      r_tree_down = std::min(
          r_tree_down, seconds_of([&] {
            return run("copy bench:" + tree.string() + " " + (dir / "rclone_down_tree").string());
          }));
    }
    print_ratio("large file upload:", ours_up, "rclone", r_up);
    print_ratio("large file download:", ours_down, "rclone", r_down);
    print_ratio("tree upload:", tree_ours_up, "rclone", r_tree_up);
    print_ratio("tree download:", tree_ours_down, "rclone", r_tree_down);
  } else {
    std::printf("rclone is not installed: no comparison with it\n");
  }

  auto settings = KVO_Core::Config::instance()->settings.get();
  settings.TransferLimitKB = 1024;
  KVO_Core::Config::instance()->settings.set(settings);
  fs::path const limited = dir / "limited.bin";
  {
    std::ofstream out(limited, std::ios::binary);
    out << std::string(8 << 20, 'l');
  }
  double const limited_time = seconds_of([&] {
    return KVO_Core::copy_fs_to_ssh(Utilities::from_path(limited), remote(dir / "limited.up")) ==
           KVO_Core::CopyResult::Done;
  });
  std::printf("limit 1024 KiB/s: 8 MiB uploaded in %.2f s, %.0f KiB/s\n", limited_time,
              8192 / limited_time);
  return 0;
}
