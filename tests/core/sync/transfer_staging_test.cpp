// The staged transfer on real files: exact arrival in both directions, generations, and the old
// destination surviving every way a copy can go wrong.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "support/scoped_mount.h"
#include "transfer_fixture.h"

namespace {

using namespace transfer_test;
using KVO_Core::SyncFlags;
using KVO_Core::SyncItemType;
using Utilities::LogLevel;

TEST_F(TransferPass, NewAndChangedFilesArriveExactlyInBothDirections) {
  put(dir / "src/new.txt", std::string(1500000, 'n'), 3.000000123);
  ::chmod((dir / "src/new.txt").c_str(), 0640);
  pass(make_item(SyncItemType::File, dir / "src/new.txt", dir / "dst/new.txt", {}));
  EXPECT_EQ(test_support::read_file(dir / "dst/new.txt"), std::string(1500000, 'n'));
  EXPECT_EQ(fs::last_write_time(dir / "dst/new.txt"), at(3.000000123));
  EXPECT_EQ(mode_of(dir / "dst/new.txt"), 0640u);

  // Copy back onto the source side of a two-way item: the time is set and read back.
  SyncFlags two_way;
  two_way.twoWaySync = true;
  put(dir / "src/b.txt", "old", 0);
  put(dir / "dst/b.txt", "changed on the target", 50.5);
  ::chmod((dir / "dst/b.txt").c_str(), 0604);
  pass(make_item(SyncItemType::File, dir / "src/b.txt", dir / "dst/b.txt", two_way));
  EXPECT_EQ(test_support::read_file(dir / "src/b.txt"), "changed on the target");
  EXPECT_EQ(fs::last_write_time(dir / "src/b.txt"), at(50.5));
  EXPECT_EQ(mode_of(dir / "src/b.txt"), 0604u);

  EXPECT_EQ(count, 2u);
  EXPECT_EQ(report.copied_bytes, 1500000u + 21u);
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(leftovers(dir / "src") + leftovers(dir / "dst"), 0u);
}

TEST_F(TransferPass, GenerationsKeepTheNewestTwoAndLeaveOtherNamesAlone) {
  SyncFlags flags;
  flags.fatherSonPrinciple = true;
  flags.maxGenerations = 2;
  put(dir / "dst/x.bak", "unrelated", 0);
  put(dir / "dst/x.bak.1a", "unrelated too", 0);
  for (std::string const name : {"x", "a\\b"}) {
    put(dir / "dst" / name, "v0", 0);
    for (int change = 1; change <= 3; ++change) {
      put(dir / "src" / name, "v" + std::to_string(change), change * 10);
      pass(make_item(SyncItemType::File, dir / "src" / name, dir / "dst" / name, flags));
    }
    EXPECT_EQ(test_support::read_file(dir / "dst" / name), "v3") << name;
    EXPECT_FALSE(fs::exists(dir / "dst" / (name + ".bak.1"))) << name;
    EXPECT_EQ(test_support::read_file(dir / "dst" / (name + ".bak.2")), "v1") << name;
    EXPECT_EQ(test_support::read_file(dir / "dst" / (name + ".bak.3")), "v2") << name;
  }
  EXPECT_EQ(test_support::read_file(dir / "dst/x.bak"), "unrelated");
  EXPECT_EQ(test_support::read_file(dir / "dst/x.bak.1a"), "unrelated too");
  EXPECT_TRUE(report.errors.empty());
}

TEST_F(TransferPass, GrowingSourceGives26AndKeepsTheTarget) {
  put(dir / "src/a.txt", std::string(3 << 20, 's'), 10);
  put(dir / "dst/a.txt", "old", 0);
  ::chmod((dir / "dst/a.txt").c_str(), 0644);
  RecordingSink sink;
  bool grown = false;
  sink.on_bytes = [&](std::uint64_t) {
    if (!grown) std::ofstream(dir / "src/a.txt", std::ios::app) << "more";
    grown = true;
  };
  pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {}));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "old");
  EXPECT_EQ(fs::last_write_time(dir / "dst/a.txt"), at(0));
  EXPECT_EQ(mode_of(dir / "dst/a.txt"), 0644u);
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_NE(report.errors[0].find(Utilities::FilesystemUtil::make_error_message(
                Utilities::FilesystemUtil::source_file_changed)),
            std::wstring::npos);
  EXPECT_NE(report.errors[0].find(w(dir / "src/a.txt")), std::wstring::npos);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(leftovers(dir / "dst"), 0u);
}

TEST_F(TransferPass, LinkAtTheDestinationNeverLeadsOutside) {
  for (bool generations : {false, true}) {
    test_support::TempDir here;
    put(here / "outside.txt", "outside", 0);
    ::chmod((here / "outside.txt").c_str(), 0600);
    put(here / "src/a.txt", "new", 10);
    fs::create_directories(here / "dst");
    fs::create_symlink(here / "outside.txt", here / "dst/a.txt");
    SyncFlags flags;
    flags.fatherSonPrinciple = generations;
    pass(make_item(SyncItemType::File, here / "src/a.txt", here / "dst/a.txt", flags));
    EXPECT_EQ(test_support::read_file(here / "outside.txt"), "outside");
    EXPECT_EQ(mode_of(here / "outside.txt"), 0600u);
    EXPECT_EQ(fs::last_write_time(here / "outside.txt"), at(0));
    EXPECT_FALSE(fs::is_symlink(here / "dst/a.txt"));
    EXPECT_EQ(test_support::read_file(here / "dst/a.txt"), "new");
    EXPECT_EQ(generations, fs::is_symlink(here / "dst/a.txt.bak.1"));
  }
}

TEST_F(TransferPass, UnlistableFolderFailsTheCopyInsteadOfGuessingAGeneration) {
  // Writable but not readable: the staging file can be made, the generations cannot be listed.
  put(dir / "src/a.txt", "new", 10);
  ::chmod((dir / "src/a.txt").c_str(), 0644);
  put(dir / "dst/a.txt", "old", 0);
  put(dir / "dst/a.txt.bak.7", "older", 0);
  fs::permissions(dir.path(), fs::perms::all);
  fs::permissions(dir / "src", fs::perms::all);
  ::chmod((dir / "dst").c_str(), 0733);
  SyncFlags flags;
  flags.fatherSonPrinciple = true;
  int const status = test_support::run_as_nobody([&]() -> int {
    pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", flags));
    if (report.errors.size() != 1) return 1;
    std::wstring const& line = report.errors[0];
    bool const named = line.find(w(dir / "dst/a.txt")) != std::wstring::npos ||
                       line.find(L"rename_error") != std::wstring::npos;
    return named ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "old");
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt.bak.7"), "older");
  EXPECT_FALSE(fs::exists(dir / "dst/a.txt.bak.8"));
  EXPECT_EQ(leftovers(dir / "dst"), 0u);
}

TEST_F(TransferPass, StagingLeftoverOfACrashIsReplaced) {
  put(dir / "src/a.txt", "new", 10);
  put(dir / "dst/a.txt", "old", 0);
  put(dir / "dst/a.txt.kvo-part", "half of a copy", 5);
  pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {}));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "new");
  EXPECT_EQ(leftovers(dir / "dst"), 0u);
}

// Runs one of the disabled tests below in a fresh process of this program, under a private
// mount namespace with a tmpfs of `size` on dir/dst. The child checks what it sees itself (the
// mount is invisible here). Gives an empty text when the child passed, else why not; a child
// that could not be started is a skip.
std::string run_on_tmpfs(fs::path const& dir, std::string const& test, std::string const& size,
                         bool& skipped) {
  skipped = false;
  if (::geteuid() != 0 || test_support::run("command -v unshare >/dev/null") != 0) {
    skipped = true;
    return "needs root and unshare";
  }
  fs::create_directories(dir / "dst");
  std::string const command =
      "PELLI_TRANSFER_DIR='" + dir.string() + "' unshare -m --propagation private sh -c " +
      "'mount -t tmpfs -o size=" + size + " pelli-test \"" + (dir / "dst").string() +
      "\" || exit 99; exec /proc/" + std::to_string(::getpid()) +
      "/exe --gtest_also_run_disabled_tests --gtest_filter=" + test + "' >/dev/null 2>&1";
  int const status = test_support::run(command);
  if (status == 99) {
    skipped = true;
    return "no tmpfs could be mounted in a private mount namespace";
  }
  return status == 0 ? std::string() : "the child failed: " + std::to_string(status);
}

// Set only in the child that run_on_tmpfs starts.
fs::path child_dir() {
  char const* given = std::getenv("PELLI_TRANSFER_DIR");
  return given ? fs::path(given) : fs::path();
}

TEST_F(TransferPass, DiskFullInTheMiddleOfACopyKeepsTheOldTarget) {
  put(dir / "src/a.txt", std::string(3 << 20, 'a'), 10);
  put(dir / "src/b.txt", std::string(3 << 20, 'b'), 10);
  bool skipped = false;
  std::string const outcome =
      run_on_tmpfs(dir.path(), "TransferPass.DISABLED_DiskFullChild", "8m", skipped);
  if (skipped) GTEST_SKIP() << outcome;
  EXPECT_EQ(outcome, "");
}

TEST_F(TransferPass, DISABLED_DiskFullChild) {
  fs::path const root = child_dir();
  if (root.empty()) GTEST_SKIP() << "runs only as the child of the disk-full test";
  put(root / "dst/a.txt", "old a", 0);
  put(root / "dst/b.txt", "old b", 0);
  ::chmod((root / "dst/a.txt").c_str(), 0640);
  RecordingSink sink;
  bool filled = false;
  // The room check passes; the disk fills up once the copy is under way.
  sink.on_bytes = [&](std::uint64_t) {
    if (!filled) test_support::fill_up(root / "dst");
    filled = true;
  };
  for (char const* name : {"a.txt", "b.txt"}) {
    filled = false;
    pass(make_item(SyncItemType::File, root / "src" / name, root / "dst" / name, {}));
    fs::remove(root / "dst/filler");
  }
  EXPECT_EQ(test_support::read_file(root / "dst/a.txt"), "old a");
  EXPECT_EQ(mode_of(root / "dst/a.txt"), 0640u);
  EXPECT_EQ(fs::last_write_time(root / "dst/a.txt"), at(0));
  EXPECT_EQ(test_support::read_file(root / "dst/b.txt"), "old b");
  EXPECT_EQ(leftovers(root / "dst"), 0u);
  EXPECT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(report.shortage_count, 2u);
  EXPECT_EQ(report.shortage_bytes, 2u * (3 << 20));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(report.copied_bytes, 0u);
}

TEST_F(TransferPass, ShortagesFoundBeforeCopyingAreSummedInOneLine) {
  put(dir / "src/a.txt", std::string(300000, 'a'), 10);
  put(dir / "src/b.txt", std::string(400000, 'b'), 10);
  bool skipped = false;
  std::string const outcome =
      run_on_tmpfs(dir.path(), "TransferPass.DISABLED_ShortageChild", "256k", skipped);
  if (skipped) GTEST_SKIP() << outcome;
  EXPECT_EQ(outcome, "");
}

TEST_F(TransferPass, DISABLED_ShortageChild) {
  fs::path const root = child_dir();
  if (root.empty()) GTEST_SKIP() << "runs only as the child of the shortage test";
  LogLines log;
  for (char const* name : {"a.txt", "b.txt"})
    pass(make_item(SyncItemType::File, root / "src" / name, root / "dst" / name, {}));
  EXPECT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(report.shortage_count, 2u);
  EXPECT_EQ(report.shortage_bytes, 700000u);
  EXPECT_EQ(log.count(LogLevel::Warning, "dst/"), 2u);
  EXPECT_FALSE(fs::exists(root / "dst/a.txt"));
}

TEST_F(TransferPass, KilledCopyLeavesTheOldTargetAndTheNextPassCompletes) {
  put(dir / "src/a.txt", std::string(8 << 20, 'k'), 10);
  put(dir / "dst/a.txt", "old", 0);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t const pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(ready[0]);
    RecordingSink sink;
    sink.on_bytes = [&](std::uint64_t) {
      char const one = 1;
      if (::write(ready[1], &one, 1) < 0) ::_exit(3);
      ::pause();  // killed here, in the middle of the copy
    };
    pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {}));
    ::_exit(2);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "old");
  EXPECT_EQ(fs::last_write_time(dir / "dst/a.txt"), at(0));

  pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {}));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), std::string(8 << 20, 'k'));
  EXPECT_EQ(leftovers(dir / "dst"), 0u);
  EXPECT_TRUE(report.errors.empty());
}

TEST_F(TransferPass, UnreadableSourceGivesOneLineAndThePassGoesOn) {
  fs::create_directories(dir / "src");
  fs::create_directories(dir / "dst");
  fs::permissions(dir.path(), fs::perms::all);
  fs::permissions(dir / "src", fs::perms::all);
  fs::permissions(dir / "dst", fs::perms::all);
  put(dir / "src/secret.txt", "secret", 10);
  ::chmod((dir / "src/secret.txt").c_str(), 0600);
  put(dir / "src/open.txt", "open", 10);
  ::chmod((dir / "src/open.txt").c_str(), 0644);
  int const status = test_support::run_as_nobody([&]() -> int {
    for (char const* name : {"secret.txt", "open.txt"})
      pass(make_item(SyncItemType::File, dir / "src" / name, dir / "dst" / name, {}));
    if (report.errors.size() != 1) return 1;
    if (report.errors[0].find(w(dir / "src/secret.txt")) == std::wstring::npos) return 2;
    if (fs::exists(dir / "dst/secret.txt")) return 3;
    if (test_support::read_file(dir / "dst/open.txt") != "open") return 4;
    return 0;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
