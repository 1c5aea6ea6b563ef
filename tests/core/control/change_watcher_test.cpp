// The change watcher on real folders: stamping and clearing, a directory item's reach, the
// service's own files, directories it cannot watch; and the list of watched directories made
// from the items, links followed or not.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/config/StateLocation.h"
#include "core/config/SyncItem.h"
#include "core/control/ChangeWatcher.h"
#include "core/control/ChangeWatcherBackend.h"
#include "core/control/WatchItems.h"
#include "support/temp_dir.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/singleton_log.h"

namespace {

namespace fs = std::filesystem;
using KVO_Core::ChangeWatcher;
using KVO_Core::OwnFiles;
using KVO_Core::SyncItem;
using KVO_Core::SyncItemType;
using KVO_Core::WatchedDir;
using test_support::TempDir;
using test_support::write_file;

bool eventually(std::function<bool()> const& condition) {
  auto const give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class ChangeWatcherTest : public ::testing::Test {
 protected:
  TempDir temp;
  fs::path const root = fs::canonical(temp.path());
  TempDir marker_temp;
  fs::path const marker_dir = fs::canonical(marker_temp.path());

  // Writes a file that only the "marker" key watches and waits for its stamp: every event
  // queued before it has been handled by then.
  void barrier(ChangeWatcher& watcher) {
    write_file(marker_dir / "m", "m");
    ASSERT_TRUE(eventually([&] { return watcher.last_change(L"marker").has_value(); }));
  }
};

TEST_F(ChangeWatcherTest, ChangeBelowATreeStampsAndClearKeepsNewerChanges) {
  fs::create_directories(root / "a" / "b");
  ChangeWatcher watcher({{L"tree", root.string(), true}});
  EXPECT_TRUE(watcher.watching(L"tree"));
  EXPECT_FALSE(watcher.last_change(L"tree"));

  auto const before = ChangeWatcher::Clock::now();
  write_file(root / "a" / "b" / "f", "x");
  ASSERT_TRUE(eventually([&] { return watcher.last_change(L"tree").has_value(); }));
  auto const stamp = *watcher.last_change(L"tree");
  EXPECT_GE(stamp, before);

  // A run that began before the change keeps it; one that began after forgets it.
  watcher.clear(L"tree", stamp);
  EXPECT_EQ(watcher.last_change(L"tree"), stamp);
  watcher.clear(L"tree", stamp + std::chrono::nanoseconds(1));
  EXPECT_FALSE(watcher.last_change(L"tree"));

  // Unknown keys have no entry.
  EXPECT_FALSE(watcher.watching(L"other"));
  watcher.changed(L"other");
  EXPECT_FALSE(watcher.last_change(L"other"));
}

TEST_F(ChangeWatcherTest, DirectoryItemCountsItsOwnEntriesOnly) {
  fs::create_directories(root / "sub");
  ChangeWatcher watcher({{L"dir", root.string(), false}, {L"marker", marker_dir.string(), false}});
  write_file(root / "sub" / "deeper", "x");
  barrier(watcher);
  EXPECT_FALSE(watcher.last_change(L"dir"));

  write_file(root / "direct", "x");
  EXPECT_TRUE(eventually([&] { return watcher.last_change(L"dir").has_value(); }));
}

TEST_F(ChangeWatcherTest, TheServicesOwnFilesDoNotStamp) {
  fs::path const state = root / "conf" / "state";
  fs::path const log = root / "cache" / "app.log";
  fs::create_directories(state);
  fs::create_directories(log.parent_path());
  ChangeWatcher watcher({{L"home", root.string(), true}, {L"marker", marker_dir.string(), false}},
                        OwnFiles({state}, {log}));

  write_file(state / "item.tsv.tmp", "x");
  fs::rename(state / "item.tsv.tmp", state / "item.tsv");
  write_file(log, "line\n");
  write_file(log.string() + ".tmp", "cut\n");
  fs::rename(log.string() + ".tmp", log);
  barrier(watcher);
  EXPECT_FALSE(watcher.last_change(L"home"));

  // A user's file beside them still counts.
  write_file(root / "cache" / "app.log.old", "x");
  EXPECT_TRUE(eventually([&] { return watcher.last_change(L"home").has_value(); }));
}

TEST_F(ChangeWatcherTest, DirectoriesThatCannotBeWatchedLoseTheirItemOnce) {
  test_support::SingletonLog log;
  write_file(root / "file", "x");
  ChangeWatcher watcher({{L"gone", (root / "missing").string(), true},
                         {L"file", (root / "file").string(), false},
                         {L"both", root.string(), true},
                         {L"both", (root / "missing2").string(), true}});
  EXPECT_FALSE(watcher.watching(L"gone"));
  EXPECT_FALSE(watcher.watching(L"file"));
  EXPECT_FALSE(watcher.watching(L"both"));
  watcher.lost(L"gone", "again");
  int lines = 0;
  for (auto const& line : log.lines())
    if (line.find("watching_unavailable") != std::string::npos) ++lines;
  EXPECT_EQ(lines, 3);

  // A lost entry is not stamped any more, not even when every entry is.
  watcher.changed_everywhere();
  EXPECT_FALSE(watcher.last_change(L"both"));
}

// A directory missing when watching began (a target its item's first run makes, a source not
// plugged in yet) is watched once it exists; one lost otherwise stays lost.
TEST_F(ChangeWatcherTest, MissingDirectoryIsWatchedOnceItExists) {
  test_support::SingletonLog log;
  fs::create_directories(root / "src");
  ChangeWatcher watcher({{L"made", (root / "src").string(), true},
                         {L"made", (root / "dst").string(), true},
                         {L"still", (root / "never").string(), true},
                         {L"lost", (root / "late").string(), true},
                         {L"plain", (root / "src").string(), true}});
  // Only missing directories: no event thread runs until one appears.
  ChangeWatcher lone({{L"lone", (root / "lone").string(), false}});
  for (wchar_t const* key : {L"made", L"still", L"lost"}) EXPECT_FALSE(watcher.watching(key));
  fs::create_directories(root / "dst");
  fs::create_directories(root / "late");
  fs::create_directories(root / "lone");
  watcher.lost(L"lost", "its stream failed");

  struct Row {
    ChangeWatcher* watcher;
    wchar_t const* key;
    bool resumed;
    bool watching;
  };
  for (Row const& row : std::vector<Row>{{&watcher, L"made", true, true},
                                         {&watcher, L"still", false, false},
                                         {&watcher, L"lost", false, false},
                                         {&watcher, L"plain", false, true},
                                         {&lone, L"lone", true, true}}) {
    SCOPED_TRACE(std::string(row.key, row.key + std::wcslen(row.key)));
    EXPECT_EQ(row.watcher->resume(row.key), row.resumed);
    EXPECT_EQ(row.watcher->watching(row.key), row.watching);
    EXPECT_FALSE(row.watcher->resume(row.key)) << "resumed once";
  }
  write_file(root / "dst" / "f", "x");
  EXPECT_TRUE(eventually([&] { return watcher.last_change(L"made").has_value(); }));
  write_file(root / "lone" / "f", "x");
  EXPECT_TRUE(eventually([&] { return lone.last_change(L"lone").has_value(); }));
  fs::create_directories(root / "never");
  EXPECT_TRUE(watcher.resume(L"still"));

  int changes = 0;
  int unavailable = 0;
  for (auto const& line : log.lines()) {
    if (line.find("watching_changes") != std::string::npos) ++changes;
    if (line.find("watching_unavailable") != std::string::npos) ++unavailable;
  }
  EXPECT_EQ(changes, 4);      // both folders of "made", then "lone" and "still"
  EXPECT_EQ(unavailable, 4);  // once per item that waited
}

TEST_F(ChangeWatcherTest, EverywhereStampsEveryWatchedEntry) {
  ChangeWatcher watcher({{L"a", root.string(), true}, {L"b", marker_dir.string(), false}});
  watcher.changed_everywhere();
  EXPECT_TRUE(watcher.last_change(L"a"));
  EXPECT_TRUE(watcher.last_change(L"b"));
}

TEST(ChangeWatcherBackendTest, InsideMeansTheFolderOrADirectEntry) {
  struct Case {
    char const* event;
    bool inside;
  };
  for (auto const& c : std::vector<Case>{{"/w/d", true},
                                         {"/w/d/", true},
                                         {"/w/d/f", true},
                                         {"/w/d/sub/", true},
                                         {"/w/d/sub/f", false},
                                         {"/w/dx", false},
                                         {"/w", false}}) {
    EXPECT_EQ(ChangeWatcher::Backend::inside(c.event, "/w/d"), c.inside) << c.event;
  }
}

TEST(OwnFilesTest, CoversFoldersWithContentAndFilesWithTheirTemporary) {
  TempDir temp;
  fs::path const root = fs::canonical(temp.path());
  OwnFiles own({root / "state"}, {root / "log"});
  struct Case {
    fs::path path;
    bool covered;
  };
  for (auto const& c : std::vector<Case>{{root / "state", true},
                                         {root / "state" / "a.tsv", true},
                                         {root / "stateful", false},
                                         {root / "log", true},
                                         {root / "log.tmp", true},
                                         {root / "log.1", false},
                                         // staging names of copies, wherever they are
                                         {root / "a.txt.kvo-part", true},
                                         {root / "sub" / "a.txt.2.kvo-part", true},
                                         {root / "a.kvo-part.txt", false},
                                         {root, false}}) {
    EXPECT_EQ(own.covers(c.path.string()), c.covered) << c.path;
  }
}

class WatchItemsTest : public ::testing::Test {
 protected:
  SyncItem item(std::wstring const& name, SyncItemType type, fs::path const& source,
                fs::path const& target) {
    SyncItem i(name, type, source.wstring(), target.wstring(), L"");
    i.flags.watchChanges = true;
    return i;
  }
  TempDir temp;
  fs::path const root = fs::canonical(temp.path());
};

TEST_F(WatchItemsTest, LinksBehindATreeAreFollowedOnceAndNotBackInside) {
  fs::create_directories(root / "src" / "inner");
  fs::create_directories(root / "elsewhere" / "deep");
  fs::create_directories(root / "far");
  fs::create_directory_symlink(root / "elsewhere", root / "src" / "out");
  fs::create_directory_symlink(root / "elsewhere", root / "src" / "inner" / "out-again");
  fs::create_directory_symlink(root / "src" / "inner", root / "src" / "back-inside");
  fs::create_directory_symlink(root / "src", root / "elsewhere" / "deep" / "loop");
  fs::create_directory_symlink(root / "far", root / "elsewhere" / "far");
  auto const found = KVO_Core::directories_behind_links(root / "src");
  EXPECT_EQ(found.size(), 2u);
  EXPECT_NE(std::find(found.begin(), found.end(), root / "elsewhere"), found.end());
  EXPECT_NE(std::find(found.begin(), found.end(), root / "far"), found.end());
  EXPECT_TRUE(KVO_Core::directories_behind_links(root / "missing").empty());
}

TEST_F(WatchItemsTest, ListHoldsLocalSidesInItemOrder) {
  fs::create_directories(root / "src");
  fs::create_directories(root / "linked");
  fs::create_directory_symlink(root / "linked", root / "src" / "link");

  SyncItem tree = item(L"tree", SyncItemType::Tree, root / "src", root / "dst");
  tree.set_target(std::make_unique<KVO_Core::SshPath>(KVO_Core::SshAccount{}, L"/remote"));
  tree.flags.symlinks = KVO_Core::SymlinkMode::Follow;
  SyncItem two_way = item(L"two", SyncItemType::Tree, root / "src", root / "dst2");
  two_way.flags.symlinks = KVO_Core::SymlinkMode::Follow;
  two_way.flags.twoWaySync = true;
  SyncItem file = item(L"file", SyncItemType::File, root / "src" / "f.txt", root / "out" / "f.txt");
  SyncItem dir = item(L"dir", SyncItemType::Directory, root / "src", root / "out");
  SyncItem unwatched = item(L"plain", SyncItemType::Tree, root / "src", root / "x");
  unwatched.flags.watchChanges = false;
  SyncItem disabled = item(L"off", SyncItemType::Tree, root / "src", root / "y");
  disabled.flags.enabled = false;

  auto const list = KVO_Core::watched_directories({tree, two_way, file, dir, unwatched, disabled});
  struct Row {
    std::wstring key;
    fs::path path;
    bool recursive;
  };
  std::vector<Row> const expected{
      {L"tree", root / "src", true},  {L"tree", root / "linked", true},
      {L"two", root / "src", true},   {L"two", root / "dst2", true},
      {L"file", root / "src", false}, {L"file", root / "out", false},
      {L"dir", root / "src", false},  {L"dir", root / "out", false},
  };
  ASSERT_EQ(list.size(), expected.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i].key, expected[i].key) << i;
    EXPECT_EQ(list[i].path, expected[i].path.string()) << i;
    EXPECT_EQ(list[i].recursive, expected[i].recursive) << i;
  }
}

// A source that holds the service's files has them copied into the target by every run; with
// the target watched, those copies would run the item again and again.
TEST_F(WatchItemsTest, OwnFilesIncludeTheirCopiesOnAWatchedItemsOtherSide) {
  fs::path const state = KVO_Core::sync_state_dir();
  fs::path const data = state.parent_path();
  fs::path const log = Utilities::to_path(Utilities::Logging::instance().get_log_file_path_name());
  SyncItem home = item(L"home", SyncItemType::Tree, data.parent_path(), root / "copy");
  SyncItem logs = item(L"logs", SyncItemType::Directory, log.parent_path(), root / "logs/");
  SyncItem back = item(L"back", SyncItemType::Tree, root / "src", state);
  back.flags.twoWaySync = true;
  SyncItem plain = item(L"plain", SyncItemType::Tree, data, root / "plain");
  plain.flags.watchChanges = false;
  OwnFiles const own = KVO_Core::own_service_files({home, logs, back, plain}, {});

  fs::path const copied_data = root / "copy" / data.filename();
  struct Case {
    fs::path path;
    bool covered;
  };
  for (auto const& c : std::vector<Case>{
           {copied_data / "state" / "x.tsv", true},
           {copied_data / "state" / "x.tsv.tmp", true},
           {copied_data / "devicelink.port", true},
           {copied_data / "notes.txt", false},
           {root / "logs" / log.filename(), true},
           {root / "logs" / (log.filename().string() + ".old"), false},
           {root / "src" / "x.tsv", true},
           {root / "src", true},
           {root / "plain" / "state" / "x.tsv", false},
       }) {
    EXPECT_EQ(own.covers(c.path.string()), c.covered) << c.path;
  }
}

TEST_F(WatchItemsTest, WatcherIsMadeOnlyWhenSomethingIsWatched) {
  test_support::SingletonLog log;
  fs::create_directories(root / "src");
  SyncItem present = item(L"present", SyncItemType::Tree, root / "src", root / "missing-target");
  SyncItem missing = item(L"missing", SyncItemType::Tree, root / "nowhere", root / "src");
  SyncItem unwatched = present;
  unwatched.name = L"unwatched";
  unwatched.flags.watchChanges = false;

  EXPECT_EQ(KVO_Core::watch_items({unwatched}, {}), nullptr);
  auto watcher = KVO_Core::watch_items({present, missing}, {});
  ASSERT_NE(watcher, nullptr);
  // The target of "present" does not exist yet: that item is not watched either.
  EXPECT_FALSE(watcher->watching(L"present"));
  EXPECT_FALSE(watcher->watching(L"missing"));
  fs::create_directories(root / "missing-target");
  watcher = KVO_Core::watch_items({present, missing}, {});
  EXPECT_TRUE(watcher->watching(L"present"));
  int changes = 0;
  int unavailable = 0;
  for (auto const& line : log.lines()) {
    if (line.find("watching_changes") != std::string::npos) ++changes;
    if (line.find("watching_unavailable") != std::string::npos) ++unavailable;
  }
  EXPECT_EQ(changes, 2);  // both directories of "present" in the second watcher
  EXPECT_EQ(unavailable, 3);
}

}  // namespace

namespace {

// The worker asks and clears while the event thread stamps, and watchers are destroyed with
// events still arriving: the event thread must be joined before the entries go.
TEST(ChangeWatcherConcurrencyTest, DestroyedWhileEventsArrive) {
  TempDir temp;
  fs::path const root = fs::canonical(temp.path());
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; !done.load(); ++i) {
      write_file(root / ("d" + std::to_string(i % 5)) / ("f" + std::to_string(i % 50)), "x");
      if (i % 7 == 0) fs::remove_all(root / ("d" + std::to_string(i % 5)));
    }
  });
  for (int round = 0; round < 20; ++round) {
    ChangeWatcher watcher({{L"tree", root.string(), true}, {L"level", root.string(), false}});
    for (int i = 0; i < 50; ++i) {
      if (auto t = watcher.last_change(L"tree")) watcher.clear(L"tree", *t);
      EXPECT_TRUE(watcher.watching(L"level"));
    }
  }
  done = true;
  writer.join();
}

// The worker starts watching a folder that appeared while the event thread delivers events of
// the others, and while the folder itself changes.
TEST(ChangeWatcherConcurrencyTest, ResumedWhileEventsArrive) {
  TempDir temp;
  fs::path const root = fs::canonical(temp.path());
  std::atomic<int> round{0};
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; !done.load(); ++i) {
      write_file(root / ("f" + std::to_string(i % 50)), "x");
      // Into this round's late folder once it is there; never made here.
      std::ofstream(root / ("late" + std::to_string(round.load())) / "g") << i;
    }
  });
  for (; round.load() < 20; ++round) {
    fs::path const late = root / ("late" + std::to_string(round.load()));
    ChangeWatcher watcher({{L"tree", root.string(), true}, {L"late", late.string(), true}});
    fs::create_directories(late);
    EXPECT_TRUE(watcher.resume(L"late"));
    for (int i = 0; i < 50; ++i) {
      if (auto t = watcher.last_change(L"late")) watcher.clear(L"late", *t);
      EXPECT_TRUE(watcher.watching(L"late"));
    }
  }
  done = true;
  writer.join();
}

}  // namespace
