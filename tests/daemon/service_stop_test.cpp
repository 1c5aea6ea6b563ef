// A large copy of a tree item cut short: by SIGTERM (the service exits with 0, the old target
// file is left as it was, no staging file is left behind, no status is recorded) or by a reload
// of the configuration (the copy starts again and completes).
#include "service_fixture.h"

namespace {

using namespace service_test;

class ServiceStop : public Service {
 protected:
  fs::path source() const { return files.path() / "src/tree"; }
  fs::path target() const { return files.path() / "dst/tree"; }

  // A tree with a file of 600 MiB and a small one; the target holds an older small "big.bin".
  void large_copy_ahead() {
    write_large_file(source() / "big.bin", 600);
    test_support::write_file(source() / "sub/kept.txt", "kept");
    test_support::write_file(target() / "big.bin", "old target");
    test_support::write_file(target() / "sub/kept.txt", "kept");
    fs::last_write_time(target() / "big.bin", fs::file_time_type::clock::now() - 1h);
    write_config(config_json({tree_item("big", source(), target())}));
  }

  // Lets the halted service run in slices of a few milliseconds every 400 ms until `done` holds
  // or the service ends: its own one-second waits pass at the usual pace while its copy crawls,
  // as on a slow disk. It is left halted.
  bool run_slowly_until(std::function<bool()> const& done, std::chrono::milliseconds limit) {
    auto const end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(400ms);
      ::kill(pid, SIGCONT);
      std::this_thread::sleep_for(2ms);
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

  std::string copied() const { return "Copied " + (source() / "big.bin").string() + " to"; }

 private:
  int exit_status_ = -1;
};

TEST_F(ServiceStop, SigtermDuringALargeCopyLeavesTheOldTargetAndNothingStray) {
  large_copy_ahead();
  start();
  ASSERT_NO_FATAL_FAILURE(halt_when_copying(target(), 2));
  ::kill(pid, SIGTERM);
  EXPECT_TRUE(run_slowly_until([&] { return exit_status() != -1; }, 60s)) << log();
  EXPECT_EQ(exit_status(), 0);

  ASSERT_EQ(fs::file_size(target() / "big.bin"), 10u) << "the old target is left as it was";
  EXPECT_EQ(test_support::read_file(target() / "big.bin"), "old target");
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
  start();
  ASSERT_NO_FATAL_FAILURE(halt_when_copying(target(), 2));
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
