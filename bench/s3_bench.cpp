// s3_bench ENDPOINT ACCESS_KEY SECRET_KEY REGION [SMALL_FILES] [LARGE_MB] [ROUNDS]: uploads and
// downloads a folder of small files and one large file with the S3 store's own code and with
// `aws s3 cp` (and `rclone copy` when installed) against the same server in the same run, and
// prints the best times and the ratios to the peers. The peers send up to ten files at once;
// the store sends one file, and one part, after the other.
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

#include "core/cloud/s3/S3Store.h"
#include "core/run/RunContext.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Server {
  std::string endpoint, access_key, secret_key, region;
};

void write_bytes(fs::path const& file, std::size_t size, unsigned seed) {
  std::ofstream out(file, std::ios::binary);
  std::string block(1 << 16, '\0');
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>((i * 31 + seed) % 251);
  for (std::size_t done = 0; done < size; done += block.size())
    out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - done)));
}

double seconds_of(std::function<void()> const& job) {
  auto const start = Clock::now();
  job();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int shell(std::string const& command) { return std::system(command.c_str()); }

void make_bucket(Server const& s, std::string const& bucket) {
  shell("curl -sf -X POST '" + s.endpoint + "/kvo-test/bucket/" + bucket + "' >/dev/null");
}

std::string aws(Server const& s) {
  return "AWS_ACCESS_KEY_ID='" + s.access_key + "' AWS_SECRET_ACCESS_KEY='" + s.secret_key +
         "' AWS_DEFAULT_REGION='" + s.region + "' aws --endpoint-url '" + s.endpoint +
         "' s3 cp --recursive --only-show-errors ";
}

std::string rclone(Server const& s) {
  return "rclone copy --s3-provider Other --s3-endpoint '" + s.endpoint + "' --s3-access-key-id '" +
         s.access_key + "' --s3-secret-access-key '" + s.secret_key + "' --s3-region '" + s.region +
         "' ";
}

struct Tool {
  char const* name;
  std::function<void(fs::path const& from, std::string const& bucket)> up;
  std::function<void(std::string const& bucket, fs::path const& to)> down;
};

std::vector<Tool> tools_for(Server const& s, KVO_Core::SshAccount const& account) {
  std::vector<Tool> tools{
      {"ours",
       [&account](fs::path const& from, std::string const& bucket) {
         for (auto const& e : fs::directory_iterator(from))
           KVO_Core::s3::upload(e.path(), account, bucket + "/d/" + e.path().filename().string());
       },
       [&account](std::string const& bucket, fs::path const& to) {
         fs::create_directories(to);
         for (auto const& e : KVO_Core::s3::list(account, bucket + "/d"))
           KVO_Core::s3::download(account, bucket + "/d/" + e.name, to / e.name);
       }},
      {"aws s3 cp",
       [s](fs::path const& from, std::string const& bucket) {
         shell(aws(s) + "'" + from.string() + "' s3://" + bucket + "/d/");
       },
       [s](std::string const& bucket, fs::path const& to) {
         shell(aws(s) + "s3://" + bucket + "/d/ '" + to.string() + "'");
       }},
  };
  if (shell("command -v rclone >/dev/null 2>&1") == 0)
    tools.push_back({"rclone",
                     [s](fs::path const& from, std::string const& bucket) {
                       shell(rclone(s) + "'" + from.string() + "' :s3:" + bucket + "/d");
                     },
                     [s](std::string const& bucket, fs::path const& to) {
                       shell(rclone(s) + ":s3:" + bucket + "/d '" + to.string() + "'");
                     }});
  return tools;
}

// Each tool runs once per round into a bucket of its own, the order turning every round; its
// best times count.
void compare(char const* label, Server const& s, KVO_Core::SshAccount const& account,
             fs::path const& source, fs::path const& work, int rounds) {
  std::vector<Tool> const tools = tools_for(s, account);
  std::vector<double> up(tools.size(), 1e300), down(tools.size(), 1e300);
  static int buckets = 0;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < tools.size(); ++i) {
      std::size_t const t = (i + static_cast<std::size_t>(round)) % tools.size();
      std::string const bucket =
          "bench-" + std::to_string(::getpid()) + "-" + std::to_string(buckets++);
      make_bucket(s, bucket);
      fs::path const to = work / "back";
      up[t] = std::min(up[t], seconds_of([&] { tools[t].up(source, bucket); }));
      down[t] = std::min(down[t], seconds_of([&] { tools[t].down(bucket, to); }));
      fs::remove_all(to);
    }
  }
  for (std::size_t t = 1; t < tools.size(); ++t)
    std::printf(
        "%-12s up: ours %7.3f s, %-9s %7.3f s (ratio %5.2f)   down: ours %7.3f s, %-9s "
        "%7.3f s (ratio %5.2f)\n",
        label, up[0], tools[t].name, up[t], up[0] / up[t], down[0], tools[t].name, down[t],
        down[0] / down[t]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: s3_bench ENDPOINT ACCESS_KEY SECRET_KEY REGION [SMALL] [MB] [ROUNDS]\n");
    return 2;
  }
  Server const s{argv[1], argv[2], argv[3], argv[4]};
  int const small_files = argc > 5 ? std::atoi(argv[5]) : 200;
  std::size_t const large_mb = argc > 6 ? std::strtoull(argv[6], nullptr, 10) : 64;
  int const rounds = argc > 7 ? std::max(1, std::atoi(argv[7])) : 3;

  KVO_Core::SshAccount account;
  account.kind = KVO_Core::SshAccount::S3;
  account.url = s.endpoint;
  account.region = s.region;
  account.set_user(s.access_key);
  account.set_password(s.secret_key);
  std::atomic<bool> stop{false};
  KVO_Core::RunContext::StopOverride running(stop);

  fs::path const work = fs::temp_directory_path() / ("s3_bench-" + std::to_string(::getpid()));
  fs::create_directories(work / "small");
  fs::create_directories(work / "large");
  for (int i = 0; i < small_files; ++i)
    write_bytes(work / "small" / ("f" + std::to_string(i)), 4096 + (i % 7) * 1000, i);
  write_bytes(work / "large" / "big", large_mb << 20, 7);
  std::printf("%d small files, one file of %zu MiB, best of %d rounds, against %s\n", small_files,
              large_mb, rounds, s.endpoint.c_str());
  compare("small files", s, account, work / "small", work, rounds);
  compare("large file", s, account, work / "large", work, rounds);
  fs::remove_all(work);
  return 0;
}
