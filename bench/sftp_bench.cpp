// sftp_bench PORT KEY DIR [MB] [ROUNDS]: uploads and downloads one file of MB MiB (256) through
// the loopback sshd on PORT with the service's SFTP transfers and with OpenSSH's sftp client in
// the same run, best of ROUNDS (3), and prints the times and the ratios; then one upload of
// 8 MiB under a transfer limit of 1024 KiB/s and the rate it kept. DIR is a scratch folder the
// server can reach; HOME should be a scratch folder too (known_hosts lands there).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: sftp_bench PORT KEY DIR [MB] [ROUNDS]\n");
    return 2;
  }
  std::string const port = argv[1];
  std::string const key = argv[2];
  fs::path const dir = argv[3];
  std::size_t const megabytes = argc > 4 ? std::stoul(argv[4]) : 256;
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
  std::printf("%zu MiB over loopback SFTP, best of %d rounds\n", megabytes, rounds);
  std::printf("upload:   service %.2f s, sftp %.2f s, ratio %.2f\n", ours_up, peer_up,
              ours_up / peer_up);
  std::printf("download: service %.2f s, sftp %.2f s, ratio %.2f\n", ours_down, peer_down,
              ours_down / peer_down);

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
