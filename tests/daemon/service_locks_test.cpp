// The running service and the two lock files: while another process holds the foreground lock
// (the desktop application) or the background lock (a second service), no pass runs; once the
// holder lets go, the items are synchronised.
#include <fcntl.h>

#include "service_fixture.h"

namespace {

using namespace service_test;

struct LockCase {
  char const* name;
  char const* held;               // the lock file held by this test process
  std::size_t own_lock_warnings;  // "the same kind holds the lock" warnings while waiting
};

void PrintTo(LockCase const& c, std::ostream* out) { *out << c.name; }

class ServiceLocks : public Service, public ::testing::WithParamInterface<LockCase> {
 protected:
  // Whether the lock file can be taken right now; it is let go at once.
  bool lock_free(fs::path const& file) const {
    int const fd = ::open(file.c_str(), O_RDWR);
    if (fd < 0) return false;
    bool const free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (free) ::flock(fd, LOCK_UN);
    ::close(fd);
    return free;
  }
};

TEST_P(ServiceLocks, NoPassWhileHeldSynchronisedAfterRelease) {
  LockCase const& c = GetParam();
  fs::path const source = files / "src/tree";
  fs::path const target = files / "dst/tree";
  test_support::write_file(source / "sub/a.txt", "waiting");
  write_config(config_json({tree_item("tree", source, target)}));
  fs::path const held = data_dir() / c.held;
  int const fd = ::open(held.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  start();
  ASSERT_TRUE(eventually([&] { return fs::exists(data_dir() / "sync-background.lock"); }));
  // A loaded machine can take seconds to start the process: the waiting is watched from its
  // first line on, and a waiting second service has said so by then.
  ASSERT_TRUE(eventually([&] { return log_count("Sync service started") == 1; }, 20s)) << log();
  EXPECT_TRUE(eventually([&] { return lines_at("Warning").size() >= c.own_lock_warnings; }, 20s))
      << log();

  // A waiting service holds no lock of its own, apart from an instant while it probes.
  fs::path const own = data_dir() / "sync-background.lock";
  if (own != held) {
    int free = 0;
    for (int i = 0; i < 20; ++i) {
      if (lock_free(own)) ++free;
      std::this_thread::sleep_for(100ms);
    }
    EXPECT_GE(free, 15) << "the background lock is held while waiting";
  } else {
    std::this_thread::sleep_for(2s);
  }
  EXPECT_FALSE(fs::exists(target)) << "no pass while the lock is held\n" << log();
  EXPECT_FALSE(fs::exists(status_file("tree")));
  EXPECT_EQ(lines_at("Warning").size(), c.own_lock_warnings) << log();
  EXPECT_TRUE(alive());

  ::flock(fd, LOCK_UN);
  ::close(fd);
  EXPECT_TRUE(eventually([&] { return tree_of(target) == tree_of(source); }, 20s)) << log();
  EXPECT_TRUE(eventually([&] { return fs::exists(status_file("tree")); }));
  EXPECT_EQ(lines_at("Warning").size(), c.own_lock_warnings) << log();
  for (char const* lock : {"sync-background.lock", "sync-foreground.lock"})
    EXPECT_EQ(fs::file_size(data_dir() / lock), 0u) << lock << " is never written";
  EXPECT_EQ(terminate(), 0);
}

// A real second instance with the same HOME, started while the first is inside a pass (halted
// amid a large copy): it waits with one warning and runs no pass until the first lets go.
TEST_F(Service, SecondInstanceRunsNoPassWhileTheFirstIsInOne) {
  write_large_file(files / "src/big/big.bin", 600);
  test_support::write_file(files / "src/small/a.txt", "small");
  write_config(config_json({tree_item("big", files / "src/big", files / "dst/big"),
                            tree_item("small", files / "src/small", files / "dst/small")}));
  start();
  ASSERT_NO_FATAL_FAILURE(halt_when_copying(files / "dst/big", 0));
  std::vector<std::string> const staged = names_in(files / "dst/big");
  pid_t second = spawn();
  ASSERT_GE(second, 0);
  struct Reaper {
    pid_t& p;
    ~Reaper() {
      if (p > 0) ::kill(p, SIGKILL), ::waitpid(p, nullptr, 0);
    }
  } reaper{second};

  std::string const waiting = "Warning\tAnother process of the same kind holds the";
  EXPECT_TRUE(eventually([&] { return log_count(waiting) == 1; }, 20s)) << log();
  std::this_thread::sleep_for(1500ms);  // several polls of the second instance
  EXPECT_FALSE(fs::exists(files / "dst/small")) << "the second instance ran a pass\n" << log();
  EXPECT_EQ(names_in(files / "dst/big"), staged) << "the second instance began a copy";
  EXPECT_EQ(log_count(waiting), 1u) << log();

  ::kill(pid, SIGCONT);
  EXPECT_TRUE(eventually(
      [&] {
        return tree_of(files / "dst/small") == tree_of(files / "src/small") &&
               names_in(files / "dst/big") == std::vector<std::string>{"big.bin"} &&
               fs::file_size(files / "dst/big/big.bin") == fs::file_size(files / "src/big/big.bin");
      },
      30s))
      << log();
  EXPECT_EQ(terminate_process(second), 0);
  second = -1;
  EXPECT_EQ(terminate(), 0);
  EXPECT_EQ(log_count("Sync service stopped."), 2u);
}

INSTANTIATE_TEST_SUITE_P(Holders, ServiceLocks,
                         ::testing::Values(LockCase{"Foreground", "sync-foreground.lock", 0},
                                           LockCase{"SecondService", "sync-background.lock", 1}),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
