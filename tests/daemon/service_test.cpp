// The real service end to end: two local file items (one one-way, one two-way), their files
// kept in step, status and state files, lock files, editing, and a clean stop.
#include <fcntl.h>

#include "service_fixture.h"

namespace {

using namespace service_test;

TEST_F(Service, SyncsTwoItemsAndStopsCleanly) {
  test_support::write_file(files / "src/a.txt", "one way");
  test_support::write_file(files / "src/b.txt", "two way");
  write_config(config_json({item("oneway", files / "src/a.txt", files / "dst/a.txt", false),
                            item("twoway", files / "src/b.txt", files / "dst/b.txt", true)}));
  start();
  EXPECT_TRUE(
      eventually([&] { return test_support::read_file(files / "dst/a.txt") == "one way"; }));
  EXPECT_TRUE(
      eventually([&] { return test_support::read_file(files / "dst/b.txt") == "two way"; }));
  EXPECT_TRUE(eventually([&] { return log_count(" D Info\tSync service started.") == 1; }))
      << log();

  ASSERT_TRUE(eventually([&] { return fs::exists(status_file("twoway")); }));
  std::string const status = test_support::read_file(status_file("oneway"));
  std::string const head = "pellimoravin-item-status 1\nsource\t" + (files / "src/a.txt").string() +
                           "\ntarget\t" + (files / "dst/a.txt").string() + "\nlast_pass\t";
  EXPECT_EQ(status.substr(0, head.size()), head);
  EXPECT_NE(status.find("\nreachable\t1\nerrors\t0\nfirst_error\t\nlast_success\t"),
            std::string::npos)
      << status;

  std::vector<std::string> states;
  for (auto const& entry : fs::directory_iterator(data_dir() / "state"))
    states.push_back(entry.path().filename().string());
  ASSERT_EQ(states.size(), 1u);
  EXPECT_NE(states[0].find("twoway"), std::string::npos);

  EXPECT_EQ(mode_of(data_dir() / "sync-background.lock"), 0600u);
  EXPECT_EQ(mode_of(data_dir() / "sync-foreground.lock"), 0600u);

  test_support::write_file(files / "src/a.txt", "edited");
  EXPECT_TRUE(
      eventually([&] { return test_support::read_file(files / "dst/a.txt") == "edited"; }, 20s));
  test_support::write_file(files / "dst/b.txt", "edited on the target");
  EXPECT_TRUE(eventually(
      [&] { return test_support::read_file(files / "src/b.txt") == "edited on the target"; }, 20s));

  EXPECT_EQ(terminate(), 0);
  std::string const all = log();
  ASSERT_FALSE(all.empty());
  std::string const last = all.substr(all.rfind('\n', all.size() - 2) + 1);
  EXPECT_NE(last.find(" D Info\tSync service stopped."), std::string::npos) << last;
}

TEST_F(Service, MalformedConfigurationWhileRunningThenRepaired) {
  test_support::write_file(files / "src/a.txt", "first");
  std::string const good =
      config_json({item("item", files / "src/a.txt", files / "dst/a.txt", false)});
  write_config(good);
  start();
  ASSERT_TRUE(eventually([&] { return test_support::read_file(files / "dst/a.txt") == "first"; }));

  write_config("{ this is not json");
  ASSERT_TRUE(eventually([&] { return log_count("Configuration read again:") == 1; })) << log();
  EXPECT_GE(log_count("FatalError"), 1u);
  test_support::write_file(files / "src/a.txt", "second");
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(test_support::read_file(files / "dst/a.txt"), "first") << "no items while broken";
  EXPECT_EQ(log_count("Configuration read again:"), 1u) << "a broken file is not re-read";

  write_config(good);
  EXPECT_TRUE(eventually([&] { return test_support::read_file(files / "dst/a.txt") == "second"; }));
  EXPECT_EQ(terminate(), 0);
}

TEST_F(Service, MalformedConfigurationAtStartReachesTheLog) {
  write_config("{ broken");
  start();
  EXPECT_TRUE(eventually([&] { return log_count("FatalError") >= 1; })) << log();
  EXPECT_TRUE(eventually([&] { return log_count(" D Info\t") >= 1; }));
  EXPECT_EQ(terminate(), 0);
}

TEST_F(Service, ForegroundLockHeldMeansNoPassUntilReleased) {
  test_support::write_file(files / "src/a.txt", "waiting");
  write_config(config_json({item("item", files / "src/a.txt", files / "dst/a.txt", false)}));
  int fd = ::open((data_dir() / "sync-foreground.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  start();
  ASSERT_TRUE(eventually([&] { return fs::exists(data_dir() / "sync-background.lock"); }));
  std::this_thread::sleep_for(2s);
  EXPECT_FALSE(fs::exists(files / "dst/a.txt")) << "no pass while the foreground lock is held";
  // The waiting service holds no lock of its own (apart from a brief probe).
  int bg = ::open((data_dir() / "sync-background.lock").c_str(), O_RDWR);
  ASSERT_GE(bg, 0);
  EXPECT_TRUE(eventually(
      [&] {
        if (::flock(bg, LOCK_EX | LOCK_NB) != 0) return false;
        ::flock(bg, LOCK_UN);
        return true;
      },
      2s));
  ::close(bg);
  ::flock(fd, LOCK_UN);
  ::close(fd);
  EXPECT_TRUE(
      eventually([&] { return test_support::read_file(files / "dst/a.txt") == "waiting"; }));
  EXPECT_EQ(terminate(), 0);
}

TEST_F(Service, UnreachableTargetWarnsOnceAndIsRecorded) {
  test_support::write_file(files / "src/a.txt", "x");
  write_config(
      config_json({item("far", files / "src/a.txt", files / "missing/deeper/a.txt", false)}));
  start();
  ASSERT_TRUE(eventually([&] { return fs::exists(status_file("far")); }));
  std::this_thread::sleep_for(2500ms);  // several passes and at least one re-probe
  EXPECT_EQ(log_count("Warning\tSource or target not reachable: "), 1u) << log();
  EXPECT_NE(test_support::read_file(status_file("far")).find("\nreachable\t0\n"),
            std::string::npos);
  fs::create_directories(files / "missing/deeper");
  EXPECT_TRUE(eventually(
      [&] { return test_support::read_file(files / "missing/deeper/a.txt") == "x"; }, 15s));
  EXPECT_EQ(terminate(), 0);
}

TEST_F(Service, EncryptionRefusedWritesNoPlainCopy) {
  test_support::write_file(files / "src/a.txt", "secret");
  write_config(config_json({item("enc", files / "src/a.txt", files / "dst/a.txt", true,
                                 R"(, "encryptTarget": "true")")}));
  start();
  ASSERT_TRUE(eventually([&] { return fs::exists(status_file("enc")); }));
  EXPECT_GE(log_count("Error\t"), 1u);
  EXPECT_NE(log().find(" enc\n"), std::string::npos) << "the refusal names the item: " << log();
  EXPECT_NE(test_support::read_file(status_file("enc")).find("\nerrors\t1\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(files / "dst/a.txt"));
  EXPECT_EQ(terminate(), 0);
}

TEST_F(Service, ItemOutsideItsScheduleDoesNotRun) {
  test_support::write_file(files / "src/a.txt", "x");
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  int const today = (local.tm_wday + 6) % 7;
  // Whole days, every day but today (and the test does not run across midnight: it takes seconds).
  int const days = 127 & ~(1 << today);
  test_support::write_file(files / "src/b.txt", "y");
  write_config(config_json(
      {item(
           "closed", files / "src/a.txt", files / "dst/a.txt", false,
           R"(, "scheduleLimited": "true", "scheduleFrom": "0", "scheduleUntil": "0", "scheduleDays": ")" +
               std::to_string(days) + "\""),
       item("open", files / "src/b.txt", files / "dst/b.txt", false)}));
  start();
  ASSERT_TRUE(eventually([&] { return test_support::read_file(files / "dst/b.txt") == "y"; }));
  std::this_thread::sleep_for(1500ms);
  EXPECT_FALSE(fs::exists(files / "dst/a.txt"));
  EXPECT_FALSE(fs::exists(status_file("closed")));
  EXPECT_EQ(terminate(), 0);
}

}  // namespace

namespace {

using namespace service_test;

TEST_F(Service, WatchedItemRunsAfterAChangeNotOnItsCycle) {
  test_support::write_file(files / "src/a.txt", "first");
  Item watched = item("watched", files / "src/a.txt", files / "dst/a.txt", false,
                      R"(, "watchChanges": "true")");
  watched.cycle = "3600";
  write_config(config_json({watched}));
  start();
  ASSERT_TRUE(eventually([&] { return test_support::read_file(files / "dst/a.txt") == "first"; }));
  test_support::write_file(files / "src/a.txt", "changed");
  EXPECT_TRUE(
      eventually([&] { return test_support::read_file(files / "dst/a.txt") == "changed"; }));
  EXPECT_EQ(terminate(), 0);
}

}  // namespace

namespace {

using namespace service_test;

TEST_F(Service, SigtermDuringALargeCopyLeavesNothingHalfDone) {
  test_support::write_file(files / "dst/big.bin", "old target");
  {
    std::string block(1 << 20, 'x');
    fs::create_directories(files / "src");
    std::FILE* f = std::fopen((files / "src/big.bin").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < 600; ++i) std::fwrite(block.data(), 1, block.size(), f);
    std::fclose(f);
  }
  write_config(config_json({item("big", files / "src/big.bin", files / "dst/big.bin", false)}));
  start();
  // Stop as soon as the copy has begun (or the pass is over).
  eventually(
      [&] {
        for (auto const& e : fs::directory_iterator(files / "dst"))
          if (e.path().filename() != "big.bin") return true;
        return fs::file_size(files / "dst/big.bin") > 100;
      },
      10s);
  EXPECT_EQ(terminate(), 0);
  auto const size = fs::file_size(files / "dst/big.bin");
  EXPECT_TRUE(size == 10 || size == fs::file_size(files / "src/big.bin"))
      << "the old target or the whole new one, size " << size;
  std::vector<std::string> names;
  for (auto const& e : fs::directory_iterator(files / "dst"))
    names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"big.bin"}) << "nothing stray";
}

}  // namespace

namespace {

using namespace service_test;

TEST_F(Service, DeletedConfigurationStopsSyncingButNotTheService) {
  test_support::write_file(files / "src/a.txt", "first");
  write_config(config_json({item("item", files / "src/a.txt", files / "dst/a.txt", false)}));
  start();
  ASSERT_TRUE(eventually([&] { return test_support::read_file(files / "dst/a.txt") == "first"; }));
  fs::remove(config_file());
  ASSERT_TRUE(eventually([&] { return log_count("Configuration read again:") == 1; })) << log();
  test_support::write_file(files / "src/a.txt", "second");
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(test_support::read_file(files / "dst/a.txt"), "first");
  EXPECT_EQ(::kill(pid, 0), 0) << "still running";
  EXPECT_EQ(terminate(), 0);
}

}  // namespace
