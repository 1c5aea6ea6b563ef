// age_bench [SIZE [ROUNDS [FOLDER]]]: encrypts and decrypts one file of SIZE bytes (default 1 GiB;
// suffixes K, M, G) with this program's age format and with the age command-line tool, each step
// in a child process of its own, ROUNDS times (default 3, the two tools taking turns), and prints
// the best times, the ratios (age's time / ours: above 1 means ours is faster) and the highest
// peak resident memory of each. FOLDER defaults to the temporary folder.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/crypto/Age.h"

namespace fs = std::filesystem;
namespace age = KVO_Core::age;

namespace {

struct Measure {
  double seconds = 0;
  long peak_kib = 0;
  bool ok = false;
};

// Runs `work` in a child process; the child's exit status 0 means success.
Measure in_child(std::function<int()> const& work) {
  auto const start = std::chrono::steady_clock::now();
  pid_t const pid = ::fork();
  if (pid == 0) ::_exit(work());
  Measure m;
  int status = 0;
  rusage usage{};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.peak_kib = usage.ru_maxrss;
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return m;
}

// The best time, the highest peak and whether every round succeeded.
void keep_best(Measure& best, Measure const& m) {
  bool const first = best.seconds == 0;
  best.seconds = first ? m.seconds : std::min(best.seconds, m.seconds);
  best.peak_kib = std::max(best.peak_kib, m.peak_kib);
  best.ok = (first || best.ok) && m.ok;
}

int ours(bool encrypting, fs::path const& in_path, fs::path const& out_path,
         std::string const& key) {
  std::ifstream in(in_path, std::ios::binary);
  std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
  if (!in || !out) return 2;
  age::Result const r =
      encrypting ? age::encrypt(in, out, key, {}) : age::decrypt(in, out, key, {});
  out.close();
  return r == age::Ok && out ? 0 : 1;
}

bool write_input(fs::path const& path, std::uint64_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> block(1 << 20);
  std::uint64_t x = 0x9e3779b97f4a7c15ull;
  for (std::uint64_t done = 0; done < size && out;) {
    for (std::size_t i = 0; i < block.size(); i += 8) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      std::memcpy(block.data() + i, &x, 8);
    }
    std::size_t const n =
        static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
    out.write(block.data(), static_cast<std::streamsize>(n));
    done += n;
  }
  out.close();
  return static_cast<bool>(out);
}

void report(char const* step, Measure const& mine, Measure const& theirs, std::uint64_t size) {
  double const mib = static_cast<double>(size) / (1 << 20);
  std::printf(
      "%-8s ours %8.3f s %8.1f MiB/s peak %7ld KiB | age %8.3f s %8.1f MiB/s peak %7ld KiB"
      " | ratio %.2f\n",
      step, mine.seconds, mib / mine.seconds, mine.peak_kib, theirs.seconds, mib / theirs.seconds,
      theirs.peak_kib, theirs.seconds / mine.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t const size = argc > 1 ? bench::parse_size(argv[1]) : 1ull << 30;
  int const rounds = argc > 2 ? std::max(1, std::stoi(argv[2])) : 3;
  fs::path const folder = (argc > 3 ? fs::path(argv[3]) : fs::temp_directory_path()) /
                          ("age-bench-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  auto const identity = age::generate_identity().value();
  auto const recipient = age::recipient_of(identity).value();
  fs::path const plain = folder / "plain", key = folder / "identity.txt";
  std::ofstream(key) << identity << "\n";
  if (!write_input(plain, size)) {
    std::cerr << "cannot write " << plain << "\n";
    return 1;
  }
  std::printf("file of %llu bytes in %s\n", static_cast<unsigned long long>(size), folder.c_str());

  Measure enc_ours, enc_age, dec_ours, dec_age;
  for (int round = 0; round < rounds; ++round) {
    keep_best(enc_ours,
              in_child([&] { return ours(true, plain, folder / "ours.age", recipient); }));
    keep_best(enc_age, in_child([&] {
                return bench::exec(
                    {"age", "-r", recipient, "-o", (folder / "age.age").string(), plain.string()});
              }));
    // Each side decrypts the other's file, so the run checks both directions of compatibility.
    keep_best(dec_ours, in_child([&] {
                return ours(false, folder / "age.age", folder / "ours.out", identity);
              }));
    keep_best(dec_age, in_child([&] {
                return bench::exec({"age", "-d", "-i", key.string(), "-o",
                                    (folder / "age.out").string(), (folder / "ours.age").string()});
              }));
  }

  bool const sizes_right = fs::file_size(folder / "ours.age") == age::encrypted_size(size) &&
                           fs::file_size(folder / "age.age") == age::encrypted_size(size);
  bool const contents_right = bench::same_content(plain, folder / "ours.out") &&
                              bench::same_content(plain, folder / "age.out");
  report("encrypt", enc_ours, enc_age, size);
  report("decrypt", dec_ours, dec_age, size);
  bool const ok =
      enc_ours.ok && enc_age.ok && dec_ours.ok && dec_age.ok && sizes_right && contents_right;
  std::printf("%s\n", ok ? "all outputs verified" : "FAILED: a step failed or an output differs");
  fs::remove_all(folder);
  return ok ? 0 : 1;
}
