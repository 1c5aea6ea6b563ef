// SIGTERM while the service copies a large file of a tree item: it exits with 0, the old target
// file is left as it was, and no staging file is left behind.
#include "service_fixture.h"

namespace {

using namespace service_test;

class ServiceStop : public Service {
 protected:
  // A file of `megabytes` MiB of a repeated pattern.
  static void write_big(fs::path const& file, int megabytes) {
    fs::create_directories(file.parent_path());
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
    std::FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < megabytes; ++i) std::fwrite(block.data(), 1, block.size(), f);
    ASSERT_EQ(std::fclose(f), 0);
  }

  // SIGTERM, then the service runs in slices of a few milliseconds a second: its own one-second
  // waits pass at the usual pace while its copy crawls, so the stop lands in the middle of the
  // copy as it would on a slow disk. The exit status, or -1 when it did not end within `limit`.
  int terminate_while_throttled(std::chrono::milliseconds limit) {
    ::kill(pid, SIGSTOP);
    ::kill(pid, SIGTERM);
    auto const end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(400ms);
      ::kill(pid, SIGCONT);
      std::this_thread::sleep_for(5ms);
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ::kill(pid, SIGSTOP);
    }
    ::kill(pid, SIGCONT);
    return -1;
  }
};

TEST_F(ServiceStop, SigtermDuringALargeCopyLeavesTheOldTargetAndNothingStray) {
  fs::path const source = files / "src/tree";
  fs::path const target = files / "dst/tree";
  test_support::write_file(target / "big.bin", "old target");
  test_support::write_file(target / "sub/kept.txt", "kept");
  fs::last_write_time(target / "big.bin", fs::file_time_type::clock::now() - 1h);
  write_big(source / "big.bin", 300);
  test_support::write_file(source / "sub/kept.txt", "kept");
  write_config(config_json({tree_item("big", source, target)}));
  start();

  // The copy has begun once a name other than the target's appears beside it.
  ASSERT_TRUE(eventually([&] { return names_in(target).size() > 2; }, 20s))
      << "the copy did not begin\n"
      << log();
  EXPECT_EQ(terminate_while_throttled(60s), 0) << log();

  EXPECT_EQ(test_support::read_file(target / "big.bin"), "old target") << log();
  EXPECT_EQ(names_in(target), (std::vector<std::string>{"big.bin", "sub"})) << "nothing stray";
  EXPECT_EQ(names_in(target / "sub"), std::vector<std::string>{"kept.txt"});
  EXPECT_EQ(log_count("Copied " + (source / "big.bin").string()), 0u) << log();
  EXPECT_FALSE(fs::exists(status_file("big"))) << "a run cut short records no status";
  std::vector<std::string> const lines = log_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("Sync service stopped."), std::string::npos) << log();
}

}  // namespace
