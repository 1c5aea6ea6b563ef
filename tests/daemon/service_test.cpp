// The real service end to end: two local tree items (one one-way, one two-way) kept in step,
// their status and state files, the lock files, edits on either side, and a clean stop.
#include <ctime>
#include <regex>

#include "service_fixture.h"

namespace {

using namespace service_test;

// A status file split into its first line and its key/value lines in file order.
struct StatusFile {
  std::string head;
  std::vector<std::string> keys;
  std::map<std::string, std::string> values;
  bool ends_in_line_feed = false;
};

StatusFile read_status(fs::path const& file) {
  StatusFile status;
  std::string const text = test_support::read_file(file);
  status.ends_in_line_feed = !text.empty() && text.back() == '\n';
  std::istringstream in(text);
  std::getline(in, status.head);
  for (std::string line; std::getline(in, line);) {
    auto const tab = line.find('\t');
    std::string const key = line.substr(0, tab);
    status.keys.push_back(key);
    status.values[key] = tab == std::string::npos ? "" : line.substr(tab + 1);
  }
  return status;
}

ino_t inode_of(fs::path const& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(Service, KeepsTwoTreesInStepAndStopsCleanly) {
  fs::path const one_src = files / "src/one";
  fs::path const one_dst = files / "dst/one";
  fs::path const two_src = files / "src/two";
  fs::path const two_dst = files / "dst/two";
  test_support::write_file(one_src / "top.txt", "top");
  test_support::write_file(one_src / "a/side.txt", "beside");
  test_support::write_file(one_src / "a/b/deep.txt", "deep down");
  test_support::write_file(two_src / "x.txt", "two way");
  test_support::write_file(two_src / "d/e/f.txt", "nested");
  // Found only in the target of the two-way item: it comes back to the source.
  test_support::write_file(two_dst / "t/only.txt", "from the target");
  write_config(config_json(
      {tree_item("oneway", one_src, one_dst, false), tree_item("twoway", two_src, two_dst, true)}));
  std::time_t const started = std::time(nullptr);
  start();

  auto const in_step = [&] {
    return tree_of(one_dst) == tree_of(one_src) && tree_of(two_dst) == tree_of(two_src) &&
           tree_of(two_src).count("t/only.txt") == 1;
  };
  ASSERT_TRUE(eventually(in_step, 20s)) << log();
  EXPECT_EQ(tree_of(one_dst).size(), 5u) << "three files in two nested folders";
  EXPECT_EQ(test_support::read_file(two_src / "t/only.txt"), "from the target");

  // Every line carries the service's tag; the start line ends in the blank of its empty part.
  ASSERT_TRUE(eventually([&] { return log_count("Sync service started.") == 1; }));
  std::regex const start_line(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} D Info\tSync service started\. )");
  std::size_t starts = 0;
  for (std::string const& line : log_lines()) {
    EXPECT_EQ(line.substr(23, 3), " D ") << line;
    if (std::regex_match(line, start_line)) ++starts;
  }
  EXPECT_EQ(starts, 1u) << log();

  ASSERT_TRUE(eventually(
      [&] { return fs::exists(status_file("oneway")) && fs::exists(status_file("twoway")); }));
  std::time_t const checked = std::time(nullptr);
  for (auto const& [name, source, target] :
       {std::tuple{"oneway", one_src, one_dst}, std::tuple{"twoway", two_src, two_dst}}) {
    SCOPED_TRACE(name);
    StatusFile const status = read_status(status_file(name));
    EXPECT_EQ(status.head, "pellimoravin-item-status 1");
    EXPECT_TRUE(status.ends_in_line_feed);
    EXPECT_EQ(status.keys, (std::vector<std::string>{"source", "target", "last_pass", "reachable",
                                                     "errors", "first_error", "last_success"}));
    EXPECT_EQ(status.values.at("source"), source.string());
    EXPECT_EQ(status.values.at("target"), target.string());
    std::time_t const last_pass = std::stoll(status.values.at("last_pass"));
    EXPECT_GE(last_pass, started);
    EXPECT_LE(last_pass, checked);
    EXPECT_EQ(status.values.at("reachable"), "1");
    EXPECT_EQ(status.values.at("errors"), "0");
    EXPECT_EQ(status.values.at("first_error"), "");
    EXPECT_EQ(status.values.at("last_success"), status.values.at("last_pass"))
        << "a clean pass is the last success";
  }

  // While the outcome stays the same, a status file is rewritten at most once a minute.
  std::string const first_status = test_support::read_file(status_file("oneway"));
  ino_t const first_inode = inode_of(status_file("oneway"));

  // Only the two-way item keeps a state between passes.
  std::vector<std::string> const states = names_in(data_dir() / "state");
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(fs::path(states[0]).stem(), "twoway");
  EXPECT_GT(fs::file_size(data_dir() / "state" / states[0]), 0u);

  for (char const* lock : {"sync-background.lock", "sync-foreground.lock"}) {
    EXPECT_EQ(mode_of(data_dir() / lock), 0600u) << lock;
    EXPECT_EQ(fs::file_size(data_dir() / lock), 0u) << lock << " is never written";
  }

  // Edits and new files in new subfolders, on the one-way source and on both two-way sides.
  test_support::write_file(one_src / "a/b/deep.txt", "deep down, edited");
  test_support::write_file(one_src / "a/new/fresh.txt", "fresh");
  test_support::write_file(two_dst / "d/e/f.txt", "nested, edited on the target");
  test_support::write_file(two_src / "d/g/new.txt", "new in the source");
  test_support::write_file(two_dst / "t/u/newer.txt", "new in the target");
  EXPECT_TRUE(eventually(
      [&] {
        auto const one = tree_of(one_dst);
        auto const two = tree_of(two_src);
        return one == tree_of(one_src) && one.count("a/new/fresh.txt") == 1 &&
               one.at("a/b/deep.txt") == "deep down, edited" && two == tree_of(two_dst) &&
               two.count("t/u/newer.txt") == 1 && two.count("d/g/new.txt") == 1 &&
               two.at("d/e/f.txt") == "nested, edited on the target";
      },
      20s))
      << log();

  EXPECT_EQ(inode_of(status_file("oneway")), first_inode) << "rewritten without a change";
  EXPECT_EQ(test_support::read_file(status_file("oneway")), first_status);

  EXPECT_TRUE(lines_at("Error").empty()) << log();
  EXPECT_TRUE(lines_at("FatalError").empty()) << log();
  EXPECT_TRUE(lines_at("Warning").empty()) << log();

  EXPECT_EQ(terminate(), 0);
  std::vector<std::string> const lines = log_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find(" D Info\tSync service stopped. "), std::string::npos)
      << lines.back();
  EXPECT_EQ(log_count("Sync service stopped."), 1u);
}

TEST_F(Service, TwoWayTargetFolderGoneIsFilledAgainAndTheSourceKept) {
  fs::path const source = files / "src/two";
  fs::path const target = files / "dst/two";
  test_support::write_file(source / "a.txt", "a");
  test_support::write_file(source / "sub/b.txt", "b");
  write_config(config_json({tree_item("pair", source, target, true)}));
  start();
  ASSERT_TRUE(eventually([&] { return tree_of(target) == tree_of(source); })) << log();
  auto const kept = tree_of(source);
  ASSERT_TRUE(eventually([&] { return !names_in(data_dir() / "state").empty(); }));

  // Its parent is still there, so the target counts as reachable: the remembered pairs must not
  // turn into deletions on the source.
  fs::remove_all(target);
  EXPECT_TRUE(eventually([&] { return tree_of(target) == kept; }, 20s)) << log();
  EXPECT_EQ(tree_of(source), kept);
  std::string const warning = "Warning\tSync item pair: the target folder " + target.string() +
                              " is gone; the remembered state is reset.";
  EXPECT_EQ(log_count(warning), 1u) << log();
  EXPECT_EQ(terminate(), 0);
}

// Sides written with the name of their volume, as "Name (root)rest": the service checks, walks
// and records them by the plain path the form stands for.
TEST_F(Service, SidesInVolumeNameFormAreSynchronised) {
  fs::path const root = files / "volume:";  // the form needs a colon inside the parentheses
  test_support::write_file(root / "src/a.txt", "a");
  test_support::write_file(root / "src/sub/b.txt", "b");
  std::string const source = "Disk (" + root.string() + ")/src";
  std::string const target = "Disk (" + root.string() + ")/dst";
  write_config(config_json({tree_item("named", source, target, true)}));
  start();
  EXPECT_TRUE(eventually([&] { return tree_of(root / "dst") == tree_of(root / "src"); }, 20s))
      << log();
  ASSERT_TRUE(eventually([&] { return fs::exists(status_file("named")); }));
  auto status = status_of("named");
  EXPECT_EQ(status["source"], source);
  EXPECT_EQ(status["target"], target);
  EXPECT_EQ(status["reachable"], "1");
  EXPECT_EQ(status["errors"], "0");
  test_support::write_file(root / "dst/sub/b.txt", "edited on the target");
  EXPECT_TRUE(eventually(
      [&] { return test_support::read_file(root / "src/sub/b.txt") == "edited on the target"; },
      20s))
      << log();
  // One state file; a pass may be writing its staged copy at this moment.
  EXPECT_TRUE(eventually([&] { return names_in(data_dir() / "state").size() == 1u; }))
      << names_in(data_dir() / "state").size();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(Service, StopRequestedDuringStartUpStillStartsAndStopsOnce) {
  write_config(config_json({}));
  start();
  auto const begin = std::chrono::steady_clock::now();
  while (!handles_sigterm()) {
    ASSERT_LT(std::chrono::steady_clock::now() - begin, 30s);
    std::this_thread::sleep_for(1ms);
  }
  ::kill(pid, SIGTERM);
  ::kill(pid, SIGINT);  // a second request changes nothing
  EXPECT_EQ(terminate(), 0);
  EXPECT_EQ(log_count("Sync service started."), 1u) << log();
  EXPECT_EQ(log_count("Sync service stopped."), 1u) << log();
  std::vector<std::string> const lines = log_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("Sync service stopped."), std::string::npos) << log();
}

TEST_F(Service, LongCycleRunsAtStartAndAfterAReloadOnly) {
  fs::path const source = files / "src/tree";
  fs::path const target = files / "dst/tree";
  test_support::write_file(source / "a.txt", "first");
  Item hourly = tree_item("hourly", source, target);
  hourly.cycle = "3600";
  std::string const config = config_json({hourly});
  write_config(config);
  start();
  ASSERT_TRUE(eventually([&] { return test_support::read_file(target / "a.txt") == "first"; }))
      << log();
  test_support::write_file(source / "a.txt", "second");
  std::this_thread::sleep_for(2s);  // about two passes
  EXPECT_EQ(test_support::read_file(target / "a.txt"), "first") << "not due within its cycle";

  write_config(config);  // the same text, a new write time: read again, every item due again
  EXPECT_TRUE(eventually([&] { return test_support::read_file(target / "a.txt") == "second"; }))
      << log();
  EXPECT_EQ(log_count("Configuration read again: "), 1u);
  EXPECT_EQ(terminate(), 0);
}

// The log as an earlier run left it: the cut at start-up drops lines past the retention (seven
// days by default) while the lines of the starting service, also those logged during the cut, stay.
TEST_F(Service, FirstLogCutDropsOldLinesAndKeepsEveryNewOne) {
  auto const stamp = [](std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S.000", &local);
    return std::string(text);
  };
  std::time_t const now = std::time(nullptr);
  test_support::write_file(log_file(), stamp(now - 30 * 86400) + " D Info\tan old line\n" +
                                           stamp(now - 86400) + " D Info\tyesterday's line\n");
  fs::path const source = files / "src/tree";
  fs::path const target = files / "dst/tree";
  test_support::write_file(source / "a.txt", "a");
  write_config(config_json({tree_item("tree", source, target)}));
  start();
  ASSERT_TRUE(eventually([&] { return tree_of(target) == tree_of(source); })) << log();
  EXPECT_TRUE(eventually([&] { return log_count("an old line") == 0; })) << log();
  std::vector<std::string> const lines = log_lines();
  ASSERT_GE(lines.size(), 3u) << log();
  EXPECT_NE(lines[0].find("yesterday's line"), std::string::npos) << log();
  EXPECT_EQ(log_count(" D Info\tSync service started. \n"), 1u) << log();
  EXPECT_EQ(log_count("Copied " + (source / "a.txt").string() + " to"), 1u) << log();
  EXPECT_EQ(terminate(), 0);
}

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
