// Deletions put off to the end of a pass: carried out only while the file is as classified, a
// failing one reported while the others go on, and nothing of an unavailable side lost.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dirs_fixture.h"
#include "support/scoped_mount.h"

namespace {

using namespace dirs_test;
using Utilities::LogLevel;

constexpr uid_t NOBODY = 65534;

void chown_all(fs::path const& root) {
  if (geteuid() != 0) return;
  ASSERT_EQ(chown(root.c_str(), NOBODY, NOBODY), 0);
  for (auto const& entry : fs::recursive_directory_iterator(root))
    ASSERT_EQ(lchown(entry.path().c_str(), NOBODY, NOBODY), 0);
}

class Deletions : public DirItem {
 protected:
  KVO_Core::SyncItem two_way() const {
    KVO_Core::SyncFlags flags;
    flags.twoWaySync = true;
    return item(flags);
  }
};

TEST_F(Deletions, FileChangedAfterClassificationIsKept) {
  put(src / "a.txt", "alpha", 0);
  KVO_Core::SyncState state(w(src), w(dst));
  {
    KVO_Core::SyncReportGuard guard(&report);
    OrderedWalk(two_way(), count, false, &state, {L"a.txt"})();
  }
  fs::remove(src / "a.txt");
  LogLines log;
  {
    KVO_Core::SyncReportGuard guard(&report);
    OrderedWalk(two_way(), count, false, &state, {L"a.txt"},
                [&] { put(dst / "a.txt", "alphA", 50); })();
  }
  EXPECT_EQ(test_support::read_file(dst / "a.txt"), "alphA");
  EXPECT_EQ(log.count(LogLevel::Info, "deletion_skipped_changed"), 1u);
  EXPECT_NE(state.find(L"a.txt"), nullptr);
  // Next pass: deleted in the source but changed in the target, so it comes back.
  run(two_way());
  EXPECT_EQ(test_support::read_file(src / "a.txt"), "alphA");
}

TEST_F(Deletions, FailingDeletionIsReportedAndTheOthersGoOn) {
  // In a sticky folder of root's only a file's owner may delete it: root's file cannot go.
  put(dst / "mine.txt", "m", 0);
  put(dst / "foreign.txt", "f", 0);
  fs::permissions(dir.path(), fs::perms::all);
  chown_all(dir.path());
  if (geteuid() == 0) {
    ASSERT_EQ(chown((dst / "foreign.txt").c_str(), 0, 0), 0);
    ASSERT_EQ(chown(dst.c_str(), 0, 0), 0);
  }
  fs::permissions(dst, fs::perms::all | fs::perms::sticky_bit);
  if (geteuid() != 0) GTEST_SKIP() << "needs root to own a file the run cannot delete";
  KVO_Core::SyncFlags flags;
  flags.syncDeletions = true;
  auto const it = item(flags);
  int const status = test_support::run_as_nobody([&] {
    LogLines log;
    KVO_Core::SyncReport child;
    std::uint64_t n = 0;
    KVO_Core::ItemRunOptions options;
    options.state_file = state_file;
    {
      KVO_Core::SyncReportGuard guard(&child);
      KVO_Core::run_item(it, n, options);
    }
    if (fs::exists(dst / "mine.txt")) return 1;
    if (child.errors.size() != 1) return 2;
    if (log.count(LogLevel::Error, "target_delete_failed") != 1) return 3;
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(fs::exists(dst / "foreign.txt"));
}

TEST_F(Deletions, UnlistableSourceGivesAReportLineNoDeletionsAndKeepsTheEntries) {
  for (int i = 0; i < 3; ++i) put(src / ("f" + std::to_string(i)), std::string(i + 1, 'x'), 0);
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  flags.syncDeletions = true;
  run(item(flags));
  ASSERT_EQ(files_in(dst).size(), 3u);
  std::string const state_text = test_support::read_file(state_file);
  fs::permissions(dir.path(), fs::perms::all);
  chown_all(dir.path());
  if (geteuid() == 0) {
    ASSERT_EQ(chown(src.c_str(), 0, 0), 0);
  }
  fs::permissions(src, fs::perms::none);
  auto const it = item(flags);
  int const status = test_support::run_as_nobody([&] {
    KVO_Core::SyncReport child;
    std::uint64_t n = 0;
    KVO_Core::ItemRunOptions options;
    options.state_file = state_file;
    {
      KVO_Core::SyncReportGuard guard(&child);
      KVO_Core::run_item(it, n, options);
    }
    if (child.errors.size() != 1) return 1;
    if (files_in(dst).size() != 3) return 2;
    return 0;
  });
  fs::permissions(src, fs::perms::owner_all);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(test_support::read_file(state_file), state_text);
}

TEST_F(Deletions, EmptiedSourceRootIsRefusedWithTheStateKept) {
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  for (int i = 0; i < 3; ++i) put(src / ("f" + std::to_string(i)), std::string(i + 1, 'x'), 0);
  run(item(flags));
  std::string const state_text = test_support::read_file(state_file);
  for (int i = 0; i < 3; ++i) fs::remove(src / ("f" + std::to_string(i)));
  LogLines log;
  run(item(flags));
  EXPECT_EQ(files_in(dst).size(), 3u);
  EXPECT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(log.count(LogLevel::Error, "sync_root_unavailable"), 1u);
  EXPECT_EQ(test_support::read_file(state_file), state_text);
  fs::remove(src);
  run(item(flags));
  EXPECT_EQ(files_in(dst).size(), 3u);
  EXPECT_FALSE(fs::exists(src));
}

TEST_F(Deletions, FifoGivesAHintOnlyAndUndecodableNamesAreNeverTouched) {
  put(src / "a.txt", "a", 0);
  ASSERT_EQ(mkfifo((src / "pipe").c_str(), 0600), 0);
  std::string const bad = "bad-\xff-name";
  put(src / bad, "source side", 0);
  put(dst / ("other-\xfe"), "target only", 0);
  KVO_Core::SyncFlags flags;
  flags.syncDeletions = true;
  run(item(flags));
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(report.hints.count("special_files_skipped"), 1u);
  EXPECT_EQ(report.hints.count("undecodable_name_skipped"), 1u);
  EXPECT_FALSE(fs::exists(dst / "pipe"));
  EXPECT_FALSE(fs::exists(dst / bad));
  EXPECT_EQ(test_support::read_file(dst / "other-\xfe"), "target only");
  EXPECT_EQ(test_support::read_file(dst / "a.txt"), "a");
}

}  // namespace
