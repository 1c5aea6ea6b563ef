// The real service watching folders: a change is synchronised once it has settled, a burst of
// writes gives one run after it, a directory item's reach, a file item, the log lines of watching
// (again after a reload), a source or target missing at start, a source deleted and made again, a
// stop amid events, and the service's own files inside a watched source.
#include <atomic>
#include <set>

#include "watch_fixture.h"

namespace {

using namespace watch_test;
using test_support::read_file;
using test_support::write_file;
using Clock = std::chrono::steady_clock;

std::string watching_line(std::string const& name, fs::path const& dir) {
  return "\tSync item " + name + ": watching " + dir.string() + " for changes.\n";
}

TEST_F(Watching, EditInAWatchedTreeIsSyncedOnceItHasSettled) {
  write_file(files / "src/a/b/deep.txt", "old");
  ASSERT_TRUE(start_watched_tree("tree")) << log();
  ASSERT_EQ(read_file(files / "dst/tree/a/b/deep.txt"), "old");
  EXPECT_EQ(count(watching_line("tree", files / "src")), 1u) << log();
  EXPECT_EQ(count(watching_line("tree", files / "dst/tree")), 1u) << log();

  auto const edited = Clock::now();
  write_file(files / "src/a/b/deep.txt", "new");
  std::this_thread::sleep_for(1s);
  std::string const early = read_file(files / "dst/tree/a/b/deep.txt");
  // Only conclusive when the test was not held up: no run may start within 2 s of the change.
  if (Clock::now() - edited < 1800ms) {
    EXPECT_EQ(early, "old") << "the change had no time to settle";
  }
  EXPECT_TRUE(eventually([&] { return read_file(files / "dst/tree/a/b/deep.txt") == "new"; }, 30s))
      << log();
  EXPECT_TRUE(settles([&] { return tree_runs(); })) << "runs go on without changes: " << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(Watching, BurstOfWritesGivesOneRunAfterItsLastWrite) {
  write_file(files / "src/f.txt", "start");
  ASSERT_TRUE(start_watched_tree("burst")) << log();
  std::size_t const runs_before = tree_runs();
  std::size_t const copies_before = copies_of(files / "src/f.txt");

  // Nine writes 0.5 s apart; the target is looked at in between.
  std::set<std::string> seen;
  auto next = Clock::now();
  auto last_write = next;
  auto longest_gap = Clock::duration::zero();
  for (int i = 0; i < 9;) {
    if (Clock::now() >= next) {
      auto const now = Clock::now();
      if (i > 0) longest_gap = std::max(longest_gap, now - last_write);
      write_file(files / "src/f.txt", "version " + std::to_string(i));
      last_write = now;
      next += 500ms;
      ++i;
    }
    seen.insert(read_file(files / "dst/tree/f.txt"));
    std::this_thread::sleep_for(10ms);
  }
  std::size_t const runs_during = tree_runs() - runs_before;
  ASSERT_TRUE(eventually(
      [&] {
        seen.insert(read_file(files / "dst/tree/f.txt"));
        return read_file(files / "dst/tree/f.txt") == "version 8";
      },
      30s))
      << log();
  ASSERT_TRUE(settles([&] { return tree_runs(); })) << log();

  EXPECT_EQ(copies_of(files / "src/f.txt") - copies_before, 1u) << log();
  // Writes held up by a loaded machine for 2 s would rightly let a run in between.
  if (longest_gap < 1500ms) {
    EXPECT_EQ(runs_during, 0u) << log();
    EXPECT_EQ(seen, (std::set<std::string>{"start", "version 8"}));
  }
  EXPECT_EQ(terminate(), 0);
}

// A directory item and a tree item watch the same folder (sharing its watch); a file item
// watches the folder that holds its file.
TEST_F(Watching, DirectoryItemRunsForItsOwnEntriesAndFileItemForItsFile) {
  write_file(files / "level/a.txt", "a0");
  write_file(files / "level/sub/b.txt", "b0");
  write_file(files / "single/f.txt", "f0");
  write_config(logging_at(
      config_json({watched_item("level", "Verzeichnis", files / "level", files / "dst/level"),
                   watched_item("whole", "Verzeichnisbaum", files / "level", files / "dst/whole"),
                   watched_item("single", "Datei", files / "single/f.txt", files / "dst/f.txt")}),
      "Debug"));
  start_with({files / "dst/level", files / "dst/whole"});
  ASSERT_TRUE(eventually([&] { return read_file(files / "dst/level/a.txt") == "a0"; }));
  ASSERT_TRUE(eventually([&] { return read_file(files / "dst/whole/sub/b.txt") == "b0"; }));
  ASSERT_TRUE(eventually([&] { return read_file(files / "dst/f.txt") == "f0"; }));
  auto const level_runs = [&] { return count("\tSyncDir::operator()()\n"); };
  ASSERT_TRUE(settles(level_runs)) << log();

  EXPECT_TRUE(arrives(files / "level/a.txt", files / "dst/level/a.txt", "a1")) << log();
  ASSERT_TRUE(settles(level_runs)) << log();

  // Once the tree item has run for the change in the subfolder, and a pass later, the directory
  // item would have run too had the change counted for it.
  std::size_t const runs = level_runs();
  ASSERT_TRUE(arrives(files / "level/sub/b.txt", files / "dst/whole/sub/b.txt", "b1")) << log();
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(level_runs(), runs) << "a change in a subfolder ran the directory item: " << log();

  EXPECT_TRUE(arrives(files / "single/f.txt", files / "dst/f.txt", "f1")) << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(Watching, WatchingIsLoggedPerFolderAndAgainAfterAReload) {
  write_file(files / "src/a.txt", "one");
  std::string const config = logging_at(
      config_json({watched_item("tree", "Verzeichnisbaum", files / "src", files / "dst/tree"),
                   watched_item("level", "Verzeichnis", files / "src", files / "dst/level")}),
      "Debug");
  write_config(config);
  start_with({files / "dst/tree", files / "dst/level"});
  ASSERT_TRUE(eventually([&] { return read_file(files / "dst/level/a.txt") == "one"; }));
  ASSERT_TRUE(eventually([&] { return count(watching_line("level", files / "dst/level")) == 1; }))
      << log();
  EXPECT_EQ(count(watching_line("tree", files / "src")), 1u) << log();
  EXPECT_EQ(count(watching_line("tree", files / "dst/tree")), 1u) << log();
  EXPECT_EQ(count(watching_line("level", files / "src")), 1u) << log();

  write_config(config);
  ASSERT_TRUE(eventually([&] { return count("\tConfiguration read again:") == 1; })) << log();
  ASSERT_TRUE(eventually([&] { return count(watching_line("level", files / "dst/level")) == 2; }))
      << log();
  EXPECT_EQ(count(watching_line("tree", files / "src")), 2u) << log();
  EXPECT_EQ(count(watching_line("tree", files / "dst/tree")), 2u) << log();
  EXPECT_EQ(count(watching_line("level", files / "src")), 2u) << log();

  // Once the runs that follow a reload are over, the new watcher is the one that counts.
  ASSERT_TRUE(settles([&] { return tree_runs(); })) << log();
  EXPECT_TRUE(arrives(files / "src/a.txt", files / "dst/tree/a.txt", "two")) << log();
  EXPECT_EQ(count("\tSync item "), 8u) << log();
  EXPECT_EQ(terminate(), 0);
}

// A folder missing when watching begins: the target that the item's first run makes (the usual
// first set-up of a backup), or a source plugged in later. The item runs on its long cycle only
// until the folder is there; from then on it is watched, so an edit arrives within seconds.
struct MissingCase {
  char const* name;
  bool source_missing;  // else the target is missing
};

void PrintTo(MissingCase const& c, std::ostream* out) { *out << c.name; }

class MissingAtStart : public Watching, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingAtStart, IsWatchedOnceItIsThere) {
  MissingCase const& c = GetParam();
  fs::path const source = files / "src";
  fs::path const target = files / "dst/tree";
  fs::path const missing = c.source_missing ? source : target;
  if (!c.source_missing) write_file(source / "a.txt", "first");
  write_config(config_json({watched_item("late", "Verzeichnisbaum", source, target)}));
  start_with({});
  ASSERT_TRUE(eventually([&] {
    return count("\tSync item late: " + missing.string() +
                 " cannot be watched; the item runs on its cycle.\n") == 1;
  })) << log();
  if (c.source_missing) {
    ASSERT_TRUE(eventually([&] { return count("not reachable: " + source.string()) > 0; }))
        << log();
    write_file(source / "a.txt", "first");
  }
  EXPECT_TRUE(eventually([&] { return read_file(target / "a.txt") == "first"; }, 30s)) << log();
  EXPECT_TRUE(eventually([&] { return count(watching_line("late", target)) == 1; })) << log();
  EXPECT_EQ(count(watching_line("late", source)), 1u) << log();

  // The cycle is an hour away: only the watcher brings these.
  for (char const* text : {"second", "third"}) {
    auto const written = Clock::now();
    EXPECT_TRUE(arrives(source / "a.txt", target / "a.txt", text)) << log();
    EXPECT_LT(Clock::now() - written, 20s) << text;
  }
  EXPECT_EQ(count(" cannot be watched; "), 1u) << log();
  EXPECT_EQ(terminate(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, MissingAtStart,
                         ::testing::Values(MissingCase{"TargetMadeByTheFirstRun", false},
                                           MissingCase{"SourcePluggedInLater", true}),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(Watching, DeletedAndRecreatedSourceIsWatchedAgain) {
  write_file(files / "src/a.txt", "first");
  ASSERT_TRUE(start_watched_tree("again")) << log();

  std::size_t const runs = tree_runs();
  fs::remove_all(files / "src");
  // The deletion counts as a change: the item runs, or finds its source unreachable.
  ASSERT_TRUE(eventually(
      [&] { return tree_runs() > runs || count("not reachable: " + (files / "src").string()) > 0; },
      30s))
      << log();
  EXPECT_EQ(read_file(files / "dst/tree/a.txt"), "first") << "a missing source deletes nothing";

  EXPECT_TRUE(arrives(files / "src/a.txt", files / "dst/tree/a.txt", "second")) << log();
  EXPECT_TRUE(arrives(files / "src/a.txt", files / "dst/tree/a.txt", "third")) << log();
  EXPECT_EQ(count(" cannot be watched; "), 0u) << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(Watching, StopAmidAStreamOfEventsExitsCleanly) {
  write_file(files / "src/seed.txt", "seed");
  write_config(
      config_json({watched_item("busy", "Verzeichnisbaum", files / "src", files / "dst/tree")}));
  start_with({files / "dst/tree"});
  ASSERT_TRUE(eventually([&] { return read_file(files / "dst/tree/seed.txt") == "seed"; }));

  // Bursts of writes with pauses long enough for a run to begin, until the stop.
  std::atomic<bool> writing{true};
  std::atomic<int> written{0};
  std::thread writer([&] {
    for (int i = 0; writing.load(); ++i) {
      write_file(files / "src" / ("d" + std::to_string(i % 7)) / ("f" + std::to_string(i % 50)),
                 std::string(100 + i % 1000, 'x'));
      written.store(i + 1);
      std::this_thread::sleep_for(i % 300 == 299 ? 4s : 2ms);
    }
  });
  // Once a run has copied, stop amid the next burst.
  EXPECT_TRUE(eventually([&] { return count("\tCopied " + (files / "src/d").string()) > 0; }, 30s))
      << log();
  int const copied_at = written.load();
  EXPECT_TRUE(eventually([&] { return written.load() > copied_at + 50; }, 30s));
  int const status = terminate();
  writing.store(false);
  writer.join();
  EXPECT_EQ(status, 0) << log();
  std::string const all = log();
  ASSERT_FALSE(all.empty());
  std::string const last = all.substr(all.rfind('\n', all.size() - 2) + 1);
  EXPECT_NE(last.find(" D Info\tSync service stopped."), std::string::npos) << last;
}

// The source holds HOME: the log (written all the time at level Debug), the configuration, the
// state and status folders. Their writes must not run the item again, nor may what each run
// writes into the watched target.
TEST_F(Watching, OwnFilesInsideAWatchedSourceDoNotRunItAgain) {
  fs::path const source = home.path();
  fs::path const target = files / "dst/home";
  write_file(source / "documents/note.txt", "note");
  write_config(
      logging_at(config_json({watched_item("home", "Verzeichnisbaum", source, target)}), "Debug"));
  start_with({target});
  ASSERT_TRUE(eventually([&] { return read_file(target / "documents/note.txt") == "note"; }));
  auto const runs = [&] { return tree_runs(source, target); };
  EXPECT_TRUE(settles(runs)) << "runs go on by themselves: " << log();

  EXPECT_TRUE(arrives(source / "documents/note.txt", target / "documents/note.txt", "edited"))
      << log();
  EXPECT_TRUE(settles(runs)) << "runs go on by themselves: " << log();
  EXPECT_EQ(terminate(), 0);
}

}  // namespace
