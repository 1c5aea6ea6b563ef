// The run of one item on real folders: its state file read, reset and written, overlapping roots
// refused, and per-entry failures that end up as report lines while the pass goes on.
#include "core/sync/ItemRun.h"
#include "support/scoped_mount.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/config/Config.h"
#include "core/run/SyncReport.h"
#include "core/sync/SyncFile.h"
#include "core/sync/engine_fixture.h"
#include "core/sync/state/SyncStateFile.h"

namespace {

using namespace engine_test;
using KVO_Core::SyncItemType;
using Utilities::LogLevel;

constexpr uid_t NOBODY = 65534;

void give_to_other_user(fs::path const& p) {
  if (geteuid() == 0) {
    ASSERT_EQ(chown(p.c_str(), NOBODY, NOBODY), 0);
  }
}

// A walk over given pairs, standing in for the directory walks.
class Entries : public KVO_Core::SyncBase {
 public:
  Entries(KVO_Core::SyncItem const& item, std::uint64_t& count,
          std::vector<std::pair<fs::path, fs::path>> pairs)
      : SyncBase(item, count, false, nullptr, L"", L""), pairs_(std::move(pairs)) {}
  void operator()() override {
    for (auto const& [source, target] : pairs_) sync_file(w(source), w(target), L"");
  }

 private:
  std::vector<std::pair<fs::path, fs::path>> pairs_;
};

class ItemRun : public testing::Test {
 protected:
  ItemRun() {
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    fs::create_directories(dir / "src");
    fs::create_directories(dir / "dst");
    KVO_Core::Config::instance()->settings.update(
        [](auto& s) { s.DeleteMode = KVO_Core::DeleteMode::Permanent; });
  }

  KVO_Core::SyncItem two_way_file() {
    KVO_Core::SyncFlags flags;
    flags.twoWaySync = true;
    return make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", flags);
  }

  KVO_Core::ItemRunResult run(KVO_Core::SyncItem const& item,
                              KVO_Core::SyncType type = KVO_Core::SyncType::Once) {
    KVO_Core::ItemRunOptions options;
    options.type = type;
    options.state_file = state_file;
    KVO_Core::SyncReportGuard guard(&report);
    return KVO_Core::run_item(item, count, options);
  }

  test_support::TempDir dir;
  fs::path const state_file = dir / "state/item.tsv";
  KVO_Core::SyncReport report;
  std::uint64_t count = 0;
  Running running;
};

struct Corrupt {
  char const* name;
  std::function<std::string(std::string const& src, std::string const& dst)> content;
  LogLevel level;
  char const* logged;
};

std::string header(std::string const& version, std::string const& src, std::string const& dst) {
  return "pellimoravin-sync-state " + version + "\nsource\t" + src + "\ntarget\t" + dst + "\n";
}

std::vector<Corrupt> const CORRUPT = {
    {"truncated", [](auto s, auto d) { return header("1", s, d) + "3\t17000"; }, LogLevel::Warning,
     "file is truncated"},
    {"header cut short",
     [](auto s, auto) { return "pellimoravin-sync-state 1\nsource\t" + s + "\n"; },
     LogLevel::Warning, "header incomplete"},
    {"blank line", [](auto s, auto d) { return header("1", s, d) + "\n3\t0\t0\tb\n"; },
     LogLevel::Warning, "line has too few fields"},
    {"version 3", [](auto s, auto d) { return header("3", s, d); }, LogLevel::Warning,
     "written by a newer version of the program"},
    {"version 1x", [](auto s, auto d) { return header("1x", s, d); }, LogLevel::Warning,
     "not a number: 1x"},
    {"version -1", [](auto s, auto d) { return header("-1", s, d); }, LogLevel::Warning,
     "not a number: -1"},
    {"size -1", [](auto s, auto d) { return header("1", s, d) + "-1\t0\t0\ta.txt\n"; },
     LogLevel::Warning, "not a number: -1"},
    {"size beyond 64 bits",
     [](auto s, auto d) { return header("1", s, d) + "18446744073709551616\t0\t0\ta.txt\n"; },
     LogLevel::Warning, "not a number: 18446744073709551616"},
    {"CRLF line ends",
     [](auto s, auto d) {
       return "pellimoravin-sync-state 1\r\nsource\t" + s + "\r\ntarget\t" + d + "\r\n";
     },
     LogLevel::Warning, "line ends with CR"},
    {"CRLF only in an entry",
     [](auto s, auto d) { return header("1", s, d) + "3\t0\t0\ta.txt\r\n"; }, LogLevel::Warning,
     "line ends with CR"},
    {"foreign roots", [](auto, auto) { return header("1", "/elsewhere", "/other"); },
     LogLevel::Info, "sync state ignored, it belongs to other paths"},
};

class CorruptStateFile : public ItemRun, public testing::WithParamInterface<Corrupt> {};

TEST_P(CorruptStateFile, GivesOneLineAFreshStateAndAValidFileAfterThePass) {
  put(dir / "src/a.txt", "abc", 0);
  put(dir / "dst/a.txt", "abc", 0);
  std::string const src = (dir / "src/a.txt").string();
  std::string const dst = (dir / "dst/a.txt").string();
  test_support::write_file(state_file, GetParam().content(src, dst));
  LogLines log;
  run(two_way_file());
  EXPECT_EQ(log.count(LogLevel::Warning, "sync_state_not_readable"),
            GetParam().level == LogLevel::Warning ? 1u : 0u);
  EXPECT_EQ(log.count(GetParam().level, GetParam().logged), 1u);
  EXPECT_TRUE(report.errors.empty());
  auto const state =
      KVO_Core::read_sync_state(state_file, w(dir / "src/a.txt"), w(dir / "dst/a.txt"));
  ASSERT_TRUE(state);
  ASSERT_EQ(state->entries.size(), 1u);
  EXPECT_EQ(state->find(L"a.txt")->size, 3u);
}

INSTANTIATE_TEST_SUITE_P(Files, CorruptStateFile, testing::ValuesIn(CORRUPT), [](auto const& info) {
  std::string name;
  for (char c : std::string(info.param.name))
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
});

TEST_F(ItemRun, DirectoryInPlaceOfTheStateFileIsOneWarningAndTheRunGoesOn) {
  put(dir / "src/a.txt", "abc", 0);
  fs::create_directories(state_file);
  LogLines log;
  auto const result = run(two_way_file());
  EXPECT_TRUE(result.ran);
  EXPECT_EQ(log.count(LogLevel::Warning, "sync_state_not_readable"), 1u);
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "abc");
}

TEST_F(ItemRun, UnchangedPassLeavesTheStateFileUnwritten) {
  put(dir / "src/a.txt", "abc", 0);
  run(two_way_file());
  ASSERT_EQ(test_support::read_file(dir / "dst/a.txt"), "abc");
  ASSERT_TRUE(fs::exists(state_file));
  auto const first =
      KVO_Core::read_sync_state(state_file, w(dir / "src/a.txt"), w(dir / "dst/a.txt"));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->entries.size(), 1u);
  fs::last_write_time(state_file, at(-1000));
  struct stat before {};
  ASSERT_EQ(stat(state_file.c_str(), &before), 0);

  auto const result = run(two_way_file());
  struct stat after {};
  ASSERT_EQ(stat(state_file.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(fs::last_write_time(state_file), at(-1000));
  EXPECT_EQ(result.state_entries, std::optional<std::uint64_t>(1));
  EXPECT_TRUE(report.errors.empty());
}

TEST_F(ItemRun, PreviewReadsTheStateButNeverWritesIt) {
  put(dir / "src/a.txt", "abc", 0);
  run(two_way_file(), KVO_Core::SyncType::Preview);
  EXPECT_FALSE(fs::exists(state_file));
  EXPECT_FALSE(fs::exists(dir / "dst/a.txt"));
}

TEST_F(ItemRun, UnwritableStateFolderIsAnErrorAndTheOldFileStays) {
  put(dir / "src/a.txt", "abc", 0);
  put(dir / "dst/a.txt", "abc", 0);
  run(two_way_file());
  std::string const old = test_support::read_file(state_file);
  ASSERT_FALSE(old.empty());
  put(dir / "src/a.txt", "abcd", 10);
  give_to_other_user(dir / "src");
  give_to_other_user(dir / "src/a.txt");
  give_to_other_user(dir / "dst");
  give_to_other_user(dir / "dst/a.txt");
  if (geteuid() != 0)
    fs::permissions(state_file.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
  auto const item = two_way_file();
  int const status = test_support::run_as_nobody([&] {
    LogLines log;
    KVO_Core::SyncReport child_report;
    KVO_Core::ItemRunOptions options;
    options.state_file = state_file;
    std::uint64_t n = 0;
    {
      KVO_Core::SyncReportGuard guard(&child_report);
      KVO_Core::run_item(item, n, options);
    }
    if (log.count(LogLevel::Error, "sync_state_not_writable") != 1) return 1;
    if (test_support::read_file(dir / "dst/a.txt") != "abcd") return 2;
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(test_support::read_file(state_file), old);
  EXPECT_FALSE(fs::exists(dir / "state/item.tsv.tmp"));
}

TEST_F(ItemRun, OverlappingRootsAreRefusedBeforeAnythingHappens) {
  put(dir / "src/a.txt", "abc", 0);
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  flags.syncDeletions = true;
  for (auto const& [source, target] :
       std::vector<std::pair<fs::path, fs::path>>{{dir / "src", dir / "src/inner"},
                                                  {dir / "src/", dir / "src"},
                                                  {dir / "src/inner", dir / "src"}}) {
    KVO_Core::SyncReport refused;
    KVO_Core::SyncReportGuard guard(&refused);
    KVO_Core::ItemRunOptions options;
    options.state_file = state_file;
    auto const result =
        KVO_Core::run_item(make_item(SyncItemType::Tree, source, target, flags), count, options);
    EXPECT_FALSE(result.ran);
    EXPECT_EQ(refused.errors.size(), 1u);
  }
  fs::create_directory_symlink(dir / "src", dir / "link");
  auto const same = make_item(SyncItemType::File, dir / "src/a.txt", dir / "link/a.txt", flags);
  EXPECT_FALSE(run(same).ran);
  EXPECT_EQ(report.errors.size(), 1u);
  EXPECT_FALSE(fs::exists(dir / "src/inner"));
  EXPECT_FALSE(fs::exists(state_file));
  EXPECT_EQ(test_support::read_file(dir / "src/a.txt"), "abc");
}

TEST_F(ItemRun, SourceVanishingDuringItsCopyIsReportedAndThePassGoesOn) {
  put(dir / "src/big", std::string(3 << 20, 'x'), 0);
  put(dir / "src/small", "small", 0);
  auto const item = make_item(SyncItemType::Directory, dir / "src", dir / "dst", {});
  RecordingSink sink;
  sink.on_bytes = [&](std::uint64_t) { fs::remove(dir / "src/big"); };
  {
    KVO_Core::SyncReportGuard guard(&report);
    Entries(item, count,
            {{dir / "src/big", dir / "dst/big"}, {dir / "src/small", dir / "dst/small"}})();
  }
  sink.on_bytes = nullptr;
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_NE(report.errors[0].find(w(dir / "src/big")), std::wstring::npos);
  EXPECT_FALSE(fs::exists(dir / "dst/big"));
  EXPECT_FALSE(fs::exists(dir / "dst/big.kvo-part"));
  EXPECT_EQ(test_support::read_file(dir / "dst/small"), "small");
}

TEST_F(ItemRun, ExceptionInOneEntryIsReportedAndThePassGoesOn) {
  put(dir / "src/a", "first", 0);
  put(dir / "dst/a", "old", 0);
  put(dir / "src/b", "second", 0);
  auto const item = make_item(SyncItemType::Directory, dir / "src", dir / "dst", {});
  RecordingSink sink;
  sink.on_bytes = [&](std::uint64_t) {
    if (sink.messages.empty()) {
      sink.messages.push_back(L"thrown");
      throw std::runtime_error("injected failure");
    }
  };
  {
    KVO_Core::SyncReportGuard guard(&report);
    Entries(item, count, {{dir / "src/a", dir / "dst/a"}, {dir / "src/b", dir / "dst/b"}})();
  }
  sink.on_bytes = nullptr;
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(report.errors[0], L"injected failure");
  EXPECT_EQ(test_support::read_file(dir / "dst/a"), "old");
  EXPECT_FALSE(fs::exists(dir / "dst/a.kvo-part"));
  EXPECT_EQ(test_support::read_file(dir / "dst/b"), "second");
}

TEST_F(ItemRun, UnreadableSourceIsReportedAndThePassGoesOn) {
  put(dir / "src/secret", "secret", 0);
  put(dir / "src/open", "open", 0);
  fs::permissions(dir / "src/secret", fs::perms::owner_read | fs::perms::owner_write);
  if (geteuid() != 0) fs::permissions(dir / "src/secret", fs::perms::none);
  give_to_other_user(dir / "dst");
  auto const item = make_item(SyncItemType::Directory, dir / "src", dir / "dst", {});
  int const status = test_support::run_as_nobody([&] {
    KVO_Core::SyncReport child_report;
    std::uint64_t n = 0;
    {
      KVO_Core::SyncReportGuard guard(&child_report);
      Entries(item, n,
              {{dir / "src/secret", dir / "dst/secret"}, {dir / "src/open", dir / "dst/open"}})();
    }
    if (child_report.errors.size() != 1) return 1;
    if (child_report.errors[0].find(w(dir / "src/secret")) == std::wstring::npos) return 2;
    if (test_support::read_file(dir / "dst/open") != "open") return 3;
    if (fs::exists(dir / "dst/secret")) return 4;
    return 0;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace

namespace {

TEST_F(ItemRun, VanishedTargetFolderResetsTheStateAndCopiesAgain) {
  put(dir / "src/a.txt", "abc", 0);
  run(two_way_file());
  ASSERT_EQ(test_support::read_file(dir / "dst/a.txt"), "abc");
  fs::remove_all(dir / "dst");
  LogLines log;
  RecordingSink sink;
  run(two_way_file());
  EXPECT_EQ(log.count(LogLevel::Warning, "target_dir_vanished"), 1u);
  ASSERT_EQ(sink.notes.size(), 1u);
  EXPECT_EQ(test_support::read_file(dir / "src/a.txt"), "abc");
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "abc");
  EXPECT_TRUE(report.errors.empty());
}

TEST_F(ItemRun, MovingItemDeletesItsSourceOnlyAfterAVerifiedCopy) {
  put(dir / "src/a.txt", "moved", 0);
  KVO_Core::SyncFlags flags;
  flags.delAftercopy = true;
  flags.syncDeletions = true;
  auto const item = make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", flags);
  run(item);
  EXPECT_FALSE(fs::exists(dir / "src/a.txt"));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "moved");
  EXPECT_EQ(fs::last_write_time(dir / "dst/a.txt"), at(0));
  // The next pass finds the moved file only in the target and keeps it.
  run(item);
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "moved");
  EXPECT_TRUE(report.errors.empty());
}

}  // namespace

namespace {

KVO_Core::CompareItems time_only() {
  KVO_Core::CompareItems items;
  items.items = {KVO_Core::CompareItem::Time};
  return items;
}

TEST_F(ItemRun, OnlyTheTimeDiffersSoTheNewerSideIsRestamped) {
  put(dir / "src/a.txt", "abc", 0);
  put(dir / "dst/a.txt", "abc", 100);
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  LogLines log;
  run(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", flags, time_only()));
  EXPECT_EQ(fs::last_write_time(dir / "dst/a.txt"), at(0));
  EXPECT_EQ(log.count(LogLevel::Info, "file_time_adjusted"), 1u);
  auto const state =
      KVO_Core::read_sync_state(state_file, w(dir / "src/a.txt"), w(dir / "dst/a.txt"));
  ASSERT_TRUE(state);
  EXPECT_EQ(state->find(L"a.txt")->target_time, at(0));
}

TEST_F(ItemRun, LastingConditionsAreReportedOncePerPath) {
  put(dir / "src/a.txt", "abc", 0);
  put(dir / "dst/a.txt", "abd", 100);
  auto const newer =
      make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {}, time_only());
  LogLines log;
  run(newer);
  run(newer);
  EXPECT_EQ(log.count(LogLevel::Info, "target_newer_not_copied"), 1u);
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "abd");

  put(dir / "dst/a.txt", "abd", 1);
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  flags.conflictCopies = false;
  auto const conflict = make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", flags);
  run(conflict);
  EXPECT_EQ(report.errors.size(), 1u);
  run(conflict);
  EXPECT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(log.count(LogLevel::Error, "content_conflict_not_copied"), 1u);
  // Gone and back: reported again.
  put(dir / "dst/a.txt", "abc", 0);
  run(conflict);
  put(dir / "dst/a.txt", "abd", 1);
  run(conflict);
  EXPECT_EQ(log.count(LogLevel::Error, "content_conflict_not_copied"), 2u);
}

TEST_F(ItemRun, TwoWayPassesCarryDeletionsAndRestoreChangedFiles) {
  put(dir / "src/a.txt", "abc", 0);
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  auto const item = make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", flags);
  run(item);
  ASSERT_EQ(test_support::read_file(dir / "dst/a.txt"), "abc");

  // Deleted in the source, changed in the target: restored, with one warning.
  fs::remove(dir / "src/a.txt");
  put(dir / "dst/a.txt", "changed", 50);
  LogLines log;
  run(item);
  EXPECT_EQ(test_support::read_file(dir / "src/a.txt"), "changed");
  EXPECT_EQ(log.count(LogLevel::Warning, "deleted_but_changed_kept"), 1u);

  // Deleted in the target, unchanged in the source: deleted in the source too.
  fs::remove(dir / "dst/a.txt");
  run(item);
  EXPECT_FALSE(fs::exists(dir / "src/a.txt"));
  auto const state =
      KVO_Core::read_sync_state(state_file, w(dir / "src/a.txt"), w(dir / "dst/a.txt"));
  ASSERT_TRUE(state);
  EXPECT_TRUE(state->entries.empty());
  EXPECT_TRUE(report.errors.empty());
}

TEST_F(ItemRun, IncompletePassForgetsNoEntry) {
  put(dir / "src/a.txt", "abc", 0);
  put(dir / "dst/a.txt", "abc", 0);
  std::string const src = (dir / "src/a.txt").string();
  std::string const dst = (dir / "dst/a.txt").string();
  std::string const before = header("1", src, dst) + "3\t" +
                             std::to_string(Utilities::file_time::to_unix_nanoseconds(at(0))) +
                             "\t" +
                             std::to_string(Utilities::file_time::to_unix_nanoseconds(at(0))) +
                             "\ta.txt\n5\t0\t0\tother\n";
  test_support::write_file(state_file, before);
  auto const item = two_way_file();

  std::atomic<bool> abort{true};
  KVO_Core::ItemRunOptions options;
  options.state_file = state_file;
  options.abort = &abort;
  KVO_Core::run_item(item, count, options);
  EXPECT_EQ(test_support::read_file(state_file), before);

  KVO_Core::SyncReport given_up;
  given_up.abandon(L"place gone");
  {
    KVO_Core::SyncReportGuard guard(&given_up);
    options.abort = nullptr;
    KVO_Core::run_item(item, count, options);
  }
  EXPECT_EQ(test_support::read_file(state_file), before);

  run(item);
  auto const state =
      KVO_Core::read_sync_state(state_file, w(dir / "src/a.txt"), w(dir / "dst/a.txt"));
  ASSERT_TRUE(state);
  EXPECT_EQ(state->entries.size(), 1u);
  EXPECT_EQ(state->find(L"other"), nullptr);
}

}  // namespace
