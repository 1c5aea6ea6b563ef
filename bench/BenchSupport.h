// What the side-by-side benchmarks share: sizes from the command line, running a peer tool in
// place of a child process, and checking that a copy holds the source's bytes.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

// Replaces the (child) process with the tool; 127 when it cannot be started.
inline int exec(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  return 127;
}

// A byte count with an optional suffix K, M or G (binary).
inline std::uint64_t parse_size(std::string text) {
  std::uint64_t factor = 1;
  switch (text.empty() ? '\0' : text.back()) {
    case 'K':
    case 'k':
      factor = 1ull << 10;
      break;
    case 'M':
    case 'm':
      factor = 1ull << 20;
      break;
    case 'G':
    case 'g':
      factor = 1ull << 30;
      break;
    default:
      break;
  }
  if (factor != 1) text.pop_back();
  return std::stoull(text) * factor;
}

inline bool same_content(std::filesystem::path const& a, std::filesystem::path const& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> p(1 << 20), q(1 << 20);
  while (x && y) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || std::memcmp(p.data(), q.data(), x.gcount()) != 0) return false;
  }
  return x.eof() && y.eof();
}

}  // namespace bench
