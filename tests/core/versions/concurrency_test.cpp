#include <gtest/gtest.h>

#include <thread>

#include "core/versions/BinCleanup.h"
#include "core/versions/RecycleBin.h"
#include "versions_fixture.h"

namespace {

namespace fs = std::filesystem;
using test_support::TempDir;
using test_support::write_file;

TEST(VersionsConcurrency, OneExpiryPassPerGateAndHour) {
  KVO_Core::bin_cleanup::ExpiryGate gate;
  auto now = std::chrono::steady_clock::time_point(std::chrono::hours(3));
  std::atomic<int> passed{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      if (gate.take(now)) ++passed;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(passed.load(), 1);
}

// Adding, listing and removing from several threads: every item arrives once, nothing is lost.
TEST(VersionsConcurrency, BinOperationsAreSerialised) {
  TempDir dir;
  auto& bin = KVO_Core::RecycleBin::instance();
  auto saved = bin.bin_path();
  bin.bin_path(dir.path() / "bin");
  constexpr int THREADS = 4, FILES = 20;
  for (int t = 0; t < THREADS; ++t)
    for (int f = 0; f < FILES; ++f)
      write_file(dir / ("src/" + std::to_string(t) + "/" + std::to_string(f)), "x");
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t)
    threads.emplace_back([&, t] {
      for (int f = 0; f < FILES; ++f) {
        auto name = std::to_string(t) + "/" + std::to_string(f);
        EXPECT_EQ(bin.add_refusal(dir / ("src/" + name), name), 0);
        bin.list_items();
        if (f % 2 == 0) {
          EXPECT_TRUE(bin.remove_item(name));
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(bin.list_items().size(), std::size_t(THREADS * FILES / 2));
  bin.bin_path(saved);
}

}  // namespace
