// A large copy of a tree item cut short: by SIGTERM (the service exits with 0, the old target
// file is left as it was, no staging file is left behind, no status is recorded) or by a reload
// of the configuration (the copy starts again and completes).
#include <fstream>
#include <iterator>

#include "service_fixture.h"

namespace {

using namespace service_test;

class ServiceStop : public Service {
 protected:
  fs::path source() const { return files.path() / "src/tree"; }
  fs::path target() const { return files.path() / "dst/tree"; }

  // A tree with a file of 300 MiB and a small one; the target holds an older small "big.bin".
  void large_copy_ahead() {
    write_large_file(source() / "big.bin", 300);
    test_support::write_file(source() / "sub/kept.txt", "kept");
    test_support::write_file(target() / "big.bin", "old target");
    test_support::write_file(target() / "sub/kept.txt", "kept");
    fs::last_write_time(target() / "big.bin", fs::file_time_type::clock::now() - 1h);
    write_config(config_json({tree_item("big", source(), target())}));
  }

  // Starts the service and stops it (SIGSTOP) once its copy has begun, that is once a name other
  // than the target's own appears beside it.
  void start_and_halt_in_copy() {
    start();
    ASSERT_TRUE(eventually([&] { return names_in(target()).size() > 2; }, 20s))
        << "the copy did not begin\n"
        << log();
    ::kill(pid, SIGSTOP);
  }

  // Lets the halted service run in slices of a few milliseconds every 400 ms until `done` holds
  // or the service ends: its own one-second waits pass at the usual pace while its copy crawls,
  // as on a slow disk. It is left halted.
  bool run_slowly_until(std::function<bool()> const& done, std::chrono::milliseconds limit) {
    auto const end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(400ms);
      ::kill(pid, SIGCONT);
      std::this_thread::sleep_for(5ms);
      if (done() || exit_status() != -1) return done();
      ::kill(pid, SIGSTOP);
    }
    return false;
  }

  // The exit status once the service has ended, else -1.
  int exit_status() {
    if (pid <= 0) return exit_status_;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) != pid) return -1;
    pid = -1;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return exit_status_;
  }

  bool same_content(fs::path const& a, fs::path const& b) const {
    std::ifstream x(a, std::ios::binary);
    std::ifstream y(b, std::ios::binary);
    return fs::file_size(a) == fs::file_size(b) &&
           std::equal(std::istreambuf_iterator<char>(x), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(y));
  }

  std::string copied() const { return "Copied " + (source() / "big.bin").string() + " to"; }

 private:
  int exit_status_ = -1;
};

TEST_F(ServiceStop, SigtermDuringALargeCopyLeavesTheOldTargetAndNothingStray) {
  large_copy_ahead();
  start_and_halt_in_copy();
  ::kill(pid, SIGTERM);
  EXPECT_TRUE(run_slowly_until([&] { return exit_status() != -1; }, 60s)) << log();
  EXPECT_EQ(exit_status(), 0);

  EXPECT_EQ(test_support::read_file(target() / "big.bin"), "old target") << log();
  EXPECT_EQ(names_in(target()), (std::vector<std::string>{"big.bin", "sub"})) << "nothing stray";
  EXPECT_EQ(names_in(target() / "sub"), std::vector<std::string>{"kept.txt"});
  EXPECT_EQ(log_count(copied()), 0u) << log();
  EXPECT_FALSE(fs::exists(status_file("big"))) << "a run cut short records no status";
  std::vector<std::string> const lines = log_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("Sync service stopped."), std::string::npos) << log();
}

TEST_F(ServiceStop, ReloadDuringALargeCopyStartsItAgainAndCompletesIt) {
  large_copy_ahead();
  start_and_halt_in_copy();
  write_config(config_json({tree_item("big", source(), target())}));  // a new write time
  EXPECT_TRUE(run_slowly_until([&] { return log_count("Configuration read again: ") == 1; }, 60s))
      << log();
  EXPECT_EQ(log_count(copied()), 0u) << "the reload came before the copy was done";
  ::kill(pid, SIGCONT);

  EXPECT_TRUE(eventually([&] { return log_count(copied()) == 1; }, 30s)) << log();
  EXPECT_TRUE(eventually([&] {
    return names_in(target()) == std::vector<std::string>{"big.bin", "sub"};
  })) << "nothing stray";
  EXPECT_TRUE(same_content(target() / "big.bin", source() / "big.bin"));
  EXPECT_EQ(terminate(), 0);
}

}  // namespace
