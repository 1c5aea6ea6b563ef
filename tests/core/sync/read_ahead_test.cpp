// Pairs read ahead of the tree walk by worker threads: the walk decides, logs and reports exactly
// as when it reads every pair itself, also for a file rewritten after a worker read it, and a stop
// ends the workers within their window.
#include "core/sync/decide/ReadAhead.h"

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "core/sync/RemotePlace.h"
#include "core/sync/decide/SettledPairs.h"
#include "core/sync/walk/SyncTree.h"
#include "settled_clock.h"
#include "tree_fixture.h"

namespace {

using namespace tree_test;
using namespace std::chrono_literals;
using KVO_Core::ReadAhead;
using KVO_Core::SettledPairs;

// Replaces every occurrence of `from` in `text`.
template <typename Text>
Text replaced(Text text, Text const& from, Text const& to) {
  for (std::size_t at = text.find(from); at != Text::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::int64_t change_time(fs::path const& file) {
  struct stat st {};
  ::lstat(file.c_str(), &st);
  return static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
}

// Other bytes of the same size, with the modification time put back: only the change time
// tells. Repeated until the change time has moved, as it is stamped in coarse ticks.
void rewrite_keeping_size_and_time(fs::path const& file) {
  std::int64_t const before = change_time(file);
  fs::file_time_type const mtime = fs::last_write_time(file);
  std::string content = test_support::read_file(file);
  for (char& c : content) c = c == 'x' ? 'y' : 'x';
  do {
    std::this_thread::sleep_for(5ms);
    test_support::write_file(file, content);
    fs::last_write_time(file, mtime);
  } while (change_time(file) == before);
}

class ReadAheadConcurrency : public TreeItem {
 protected:
  SettledClockAhead clock_ahead;

  struct Outcome {
    Tree source;
    Tree target;
    std::vector<std::wstring> errors;
    std::vector<std::string> hints;
    std::vector<std::string> log;
    std::uint64_t count = 0;
  };

  // One pass of the walk over root/src and root/dst, with or without workers reading ahead.
  Outcome pass(fs::path const& root, KVO_Core::SyncFlags const& flags, ReadAhead* ahead,
               std::string const& name) {
    KVO_Core::SyncItem const it(Utilities::util::string_to_wstring(name),
                                KVO_Core::SyncItemType::Tree, w(root / "src"), w(root / "dst"), L"",
                                KVO_Core::Exclusions{}, flags, {});
    std::optional<KVO_Core::SyncState> state;
    if (flags.twoWaySync) state.emplace(w(root / "src"), w(root / "dst"));
    report = KVO_Core::SyncReport{};
    count = 0;
    LogLines lines;
    {
      KVO_Core::SyncReportGuard guard(&report);
      KVO_Core::SyncTree job(it, count, false, state ? &*state : nullptr);
      job.read_ahead = ahead;
      job();
    }
    Outcome outcome;
    std::string const narrow = root.string();
    std::wstring const wide = w(root);
    for (auto const& line : lines.take())
      outcome.log.push_back(replaced(line.text, narrow, std::string("<root>")));
    for (auto const& error : report.errors)
      outcome.errors.push_back(replaced(error, wide, std::wstring(L"<root>")));
    for (auto const& [hint, seen] : report.hints) outcome.hints.push_back(hint);
    outcome.count = count;
    outcome.source = snapshot(root / "src");
    outcome.target = snapshot(root / "dst");
    return outcome;
  }

  // Equal pairs, pairs of equal size and time whose bytes differ, an unreadable source, a link,
  // a file that has gone on the target side, and a subfolder walked in the middle of its parent.
  static std::size_t fill_pairs(fs::path const& root) {
    std::size_t equal = 0;
    for (std::string const folder : {"src/a", "dst/a", "src/a/sub", "dst/a/sub"})
      fs::create_directories(root / folder);
    for (std::string const folder : {"a", "a/sub"}) {
      for (int i = 0; i < 12; ++i) {
        std::string const name = folder + "/same" + std::to_string(i);
        std::string const content(static_cast<std::size_t>(i * 300), 'x');
        put(root / "src" / name, content, 0);
        put(root / "dst" / name, content, 0);
        ++equal;
      }
      put(root / "src" / folder / "differs", "abcd", 5);
      put(root / "dst" / folder / "differs", "abce", 5);
      put(root / "src" / folder / "only-source", "new", 5);
    }
    put(root / "src/a/changed", std::string(100, 'x'), 7);
    put(root / "dst/a/changed", std::string(100, 'x'), 7);
    put(root / "src/a/locked", "secret", 3);
    put(root / "dst/a/locked", "secret", 3);
    ::chmod((root / "src/a/locked").c_str(), 0);
    if (::geteuid() == 0) ++equal;  // root reads it all the same
    fs::create_symlink("same1", root / "src/a/link");
    put(root / "dst/a/link", "other", 0);
    return equal;
  }
};

TEST_F(ReadAheadConcurrency, DecidesAsTheControllersOwnReading) {
  for (bool const two_way : {false, true}) {
    SCOPED_TRACE(two_way ? "two-way" : "one-way");
    KVO_Core::SyncFlags flags;
    flags.twoWaySync = two_way;
    std::string const name = std::string("ahead-") + (two_way ? "2w" : "1w");

    fs::path const own = dir / (name + "-own");
    fill_pairs(own);
    rewrite_keeping_size_and_time(own / "src/a/changed");
    Outcome const expected = pass(own, flags, nullptr, name);

    fs::path const ahead_root = dir / (name + "-ahead");
    std::size_t const equal = fill_pairs(ahead_root);
    ReadAhead::Options options;
    options.workers = 3;
    bool rewritten = false;
    // Every pair of the folder is read before the controller starts on it; then one is changed.
    options.folder_read = [&](std::wstring const& folder) {
      if (folder != w(ahead_root / "src/a")) return;
      rewrite_keeping_size_and_time(ahead_root / "src/a/changed");
      rewritten = true;
    };
    Outcome actual;
    std::uint64_t taken = 0;
    {
      ReadAhead ahead(options);
      actual = pass(ahead_root, flags, &ahead, name);
      taken = ahead.readings_taken();
    }
    EXPECT_TRUE(rewritten);
    EXPECT_EQ(actual.source, expected.source);
    EXPECT_EQ(actual.target, expected.target);
    EXPECT_EQ(actual.errors, expected.errors);
    EXPECT_EQ(actual.hints, expected.hints);
    EXPECT_EQ(actual.log, expected.log);
    EXPECT_EQ(actual.count, expected.count);
    // Only the equal pairs came from the workers: the rewritten one was read again and found.
    EXPECT_EQ(taken, equal);
    if (!two_way) {
      EXPECT_EQ(actual.target.at("a/changed"), actual.source.at("a/changed"));
    }
  }
}

TEST_F(ReadAheadConcurrency, OnlyPassesThatReadEveryPairReadAhead) {
  using KVO_Core::SyncItemType;
  auto const local = [](SyncItemType type) {
    return KVO_Core::SyncItem(L"ahead-when", type, L"/a", L"/b", L"", KVO_Core::Exclusions{}, {},
                              {});
  };
  KVO_Core::SyncItem size_and_time = local(SyncItemType::Tree);
  size_and_time.compare_items.content(false);
  size_and_time.compare_items.size(true);
  size_and_time.compare_items.time(true);
  KVO_Core::SyncItem encrypted = local(SyncItemType::Tree);
  encrypted.flags.encryptTarget = true;
  KVO_Core::SyncItem remote = local(SyncItemType::Tree);
  KVO_Core::Sides remote_sides = KVO_Core::sides_of(remote);
  remote_sides.target = std::make_shared<KVO_Core::RemotePlace const>(L"ssh://me@host/b");
  struct Case {
    char const* name;
    KVO_Core::SyncItem item;
    std::optional<KVO_Core::Sides> sides;
    bool compares;
    bool expected;
  };
  for (Case const& c : std::vector<Case>{
           {"tree", local(SyncItemType::Tree), {}, true, true},
           {"folder item", local(SyncItemType::Directory), {}, true, false},
           {"file item", local(SyncItemType::File), {}, true, false},
           {"size and time", size_and_time, {}, true, false},
           {"encrypted target", encrypted, {}, true, false},
           {"remote target", remote, remote_sides, true, false},
           {"counting pass", local(SyncItemType::Tree), {}, false, false},
       }) {
    KVO_Core::Sides const sides = c.sides ? *c.sides : KVO_Core::sides_of(c.item);
    EXPECT_EQ(KVO_Core::reads_ahead(c.item, sides, c.compares), c.expected) << c.name;
  }

  // Once pairs of the item are remembered as settled, its passes read only what changed.
  fs::path const root = dir.path();
  fill_pairs(root);
  std::string const name = "ahead-when";
  pass(root, {}, nullptr, name);
  KVO_Core::SyncItem const tree = local(SyncItemType::Tree);
  EXPECT_FALSE(KVO_Core::reads_ahead(tree, KVO_Core::sides_of(tree), true));
}

TEST_F(ReadAheadConcurrency, StopEndsTheWalkAndItsWorkers) {
  constexpr int FOLDERS = 3;
  constexpr std::uint64_t FILES = 40;
  for (int folder = 0; folder < FOLDERS; ++folder)
    for (std::uint64_t i = 0; i < FILES; ++i) {
      std::string const name = "d" + std::to_string(folder) + "/f" + std::to_string(i);
      put(src / name, "content", 0);
      put(dst / name, "content", 0);
    }
  ReadAhead::Options options;
  options.workers = 2;
  // The stop comes once the first folder is read ahead.
  options.folder_read = [this](std::wstring const& folder) {
    if (folder != w(src)) stop = true;
  };
  KVO_Core::SyncItem const it = item({});
  ReadAhead ahead(options);
  {
    KVO_Core::SyncReportGuard guard(&report);
    KVO_Core::SyncTree job(it, count, false, nullptr);
    job.read_ahead = &ahead;
    job();
  }
  EXPECT_EQ(ahead.pairs_read(), FILES);
  EXPECT_EQ(ahead.readings_taken(), 0u);
}

TEST_F(ReadAheadConcurrency, WorkersKeepWithinTheWindowAndEndWithTheFolder) {
  constexpr std::size_t FILES = 30;
  std::vector<ReadAhead::File> files;
  for (std::size_t i = 0; i < FILES; ++i) {
    std::string const name = "f" + std::to_string(i);
    put(src / name, "content", 0);
    put(dst / name, "content", 0);
    files.push_back({i, Utilities::util::string_to_wstring(name)});
  }
  ReadAhead::Options options;
  options.workers = 3;
  options.window = 5;
  ReadAhead ahead(options);
  auto const settle = [&ahead](std::uint64_t expected) {
    for (int i = 0; i < 2000 && ahead.pairs_read() < expected; ++i)
      std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);  // time enough to overrun, were they to
    return ahead.pairs_read();
  };
  {
    ReadAhead::Folder folder(ahead, w(src), w(dst), files);
    folder.reach(0);
    EXPECT_EQ(settle(5), 5u);
    // The five passed unread are dropped.
    folder.reach(10);
    EXPECT_EQ(settle(10), 10u);
  }
  // Ended with the folder: nothing more is read, and the workers are joined with the object.
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(ahead.pairs_read(), 10u);
}

}  // namespace
