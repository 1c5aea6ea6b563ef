// What a staged local copy checks before its file takes the destination's name: sizes on both
// sides of the one-buffer route, a staging file that does not hold what was read, a source that
// changes while it is copied, a staging name taken by a folder, read-only files, and a volume
// without hard links. Whatever goes wrong, the old destination stays under its name and no
// generation is made of it.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <thread>

#include "core/sync/transfer/LocalBlockCopy.h"
#include "support/scoped_mount.h"
#include "transfer_fixture.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/MountedDrives.h"

namespace {

using namespace transfer_test;
using KVO_Core::BLOCK_SIZE;
using KVO_Core::SyncFlags;
using KVO_Core::SyncItemType;
namespace fsu = Utilities::FilesystemUtil;

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
  return text;
}

SyncFlags with_generations() {
  SyncFlags flags;
  flags.fatherSonPrinciple = true;
  flags.maxGenerations = 5;
  return flags;
}

class StagedChecks : public TransferPass {
 protected:
  // The old destination, untouched and not made a generation; one error naming reason; nothing
  // staged left behind.
  void expect_kept(std::string const& what, fsu::FileInfoResult reason) {
    EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "old") << what;
    EXPECT_EQ(fs::last_write_time(dir / "dst/a.txt"), at(0)) << what;
    EXPECT_EQ(mode_of(dir / "dst/a.txt"), 0640u) << what;
    EXPECT_FALSE(fs::exists(dir / "dst/a.txt.bak.1")) << what;
    EXPECT_EQ(count, 0u) << what;
    ASSERT_EQ(report.errors.size(), 1u) << what;
    EXPECT_NE(report.errors[0].find(fsu::make_error_message(reason)), std::wstring::npos)
        << what << ": " << Utilities::util::wstring_to_string(report.errors[0]);
    EXPECT_EQ(leftovers(dir / "dst"), 0u) << what;
  }

  void old_destination() {
    put(dir / "dst/a.txt", "old", 0);
    ::chmod((dir / "dst/a.txt").c_str(), 0640);
    fs::remove(dir / "dst/a.txt.bak.1");
    report = {};
    count = 0;
  }
};

TEST_F(StagedChecks, SizesAroundTheBufferLimitArriveExactly) {
  for (std::size_t const size :
       {std::size_t{1}, BLOCK_SIZE - 1, BLOCK_SIZE, BLOCK_SIZE + 1, 3 * BLOCK_SIZE + 17}) {
    std::string const bytes = pattern(size);
    put(dir / "src/a.txt", bytes, 10.25);
    ::chmod((dir / "src/a.txt").c_str(), 0604);
    // Onto a missing destination, then over an old one that becomes its generation.
    fs::remove(dir / "dst/a.txt");
    fs::create_directories(dir / "dst");
    pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", with_generations()));
    EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), bytes) << size;
    old_destination();
    pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", with_generations()));
    EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), bytes) << size;
    EXPECT_EQ(fs::last_write_time(dir / "dst/a.txt"), at(10.25)) << size;
    EXPECT_EQ(mode_of(dir / "dst/a.txt"), 0604u) << size;
    EXPECT_EQ(test_support::read_file(dir / "dst/a.txt.bak.1"), "old") << size;
    EXPECT_EQ(mode_of(dir / "dst/a.txt.bak.1"), 0640u) << size;
    EXPECT_EQ(count, 1u) << size;
    EXPECT_TRUE(report.errors.empty()) << size;
    EXPECT_EQ(leftovers(dir / "dst"), 0u) << size;
  }
}

TEST_F(StagedChecks, StagingFileThatDiffersFromWhatWasReadIsNeverPlaced) {
  // Once the last bytes are written, one byte of the staging file is changed behind the copy's
  // back: through one buffer and through the kernel alike, the check must see it.
  for (std::size_t const size : {std::size_t{100}, BLOCK_SIZE, BLOCK_SIZE + 1, 3 * BLOCK_SIZE}) {
    put(dir / "src/a.txt", pattern(size), 10);
    old_destination();
    RecordingSink sink;
    bool corrupted = false;
    sink.on_bytes = [&](std::uint64_t total) {
      if (total != size) return;
      platform::FileDescriptor staged(::open((dir / "dst/a.txt.kvo-part").c_str(), O_WRONLY));
      corrupted = staged && ::pwrite(staged.get(), "#", 1, static_cast<off_t>(size / 2)) == 1;
    };
    pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", with_generations()));
    ASSERT_TRUE(corrupted) << size;
    expect_kept(std::to_string(size), fsu::checksum_mismatch);
  }
}

TEST_F(StagedChecks, SourceChangedWhileItIsCopiedIsNeverPlaced) {
  fs::path const source = dir / "src/a.txt";
  struct Change {
    char const* name;
    std::function<void(std::size_t)> make;
  } const changes[] = {
      {"grows", [&](std::size_t) { std::ofstream(source, std::ios::app) << "more"; }},
      {"shrinks", [&](std::size_t size) { fs::resize_file(source, size - 1); }},
      {"is rewritten in place",
       [&](std::size_t) { std::fstream(source, std::ios::in | std::ios::out) << "X"; }},
      {"is replaced by another of its size",
       [&](std::size_t size) {
         put(dir / "src/other", std::string(size, 'r'), 20);
         fs::rename(dir / "src/other", source);
       }},
      {"is removed", [&](std::size_t) { fs::remove(source); }},
  };
  for (Change const& change : changes) {
    for (std::size_t const size : {std::size_t{100}, BLOCK_SIZE, 3 * BLOCK_SIZE}) {
      std::string const what = std::string(change.name) + " " + std::to_string(size);
      put(source, pattern(size), 10);
      old_destination();
      RecordingSink sink;
      bool changed = false;
      sink.on_bytes = [&](std::uint64_t) {
        if (!changed) change.make(size);
        changed = true;
      };
      pass(make_item(SyncItemType::File, source, dir / "dst/a.txt", with_generations()));
      ASSERT_TRUE(changed) << what;
      expect_kept(what, fsu::source_file_changed);
    }
  }
}

TEST_F(StagedChecks, FolderAtTheStagingNameFailsTheCopyAndIsKept) {
  put(dir / "src/a.txt", "new", 10);
  old_destination();
  put(dir / "dst/a.txt.kvo-part/inside", "someone's", 0);
  pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", with_generations()));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), "old");
  EXPECT_FALSE(fs::exists(dir / "dst/a.txt.bak.1"));
  EXPECT_EQ(test_support::read_file(dir / "dst/a.txt.kvo-part/inside"), "someone's");
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(report.errors.size(), 1u);
}

TEST_F(StagedChecks, ReadOnlyFilesAreReplacedAndKeptAsGenerations) {
  for (std::size_t const size : {std::size_t{5}, 2 * BLOCK_SIZE}) {
    fs::remove(dir / "src/a.txt");
    put(dir / "src/a.txt", pattern(size), 10);
    ::chmod((dir / "src/a.txt").c_str(), 0444);
    old_destination();
    ::chmod((dir / "dst/a.txt").c_str(), 0400);
    pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", with_generations()));
    EXPECT_EQ(test_support::read_file(dir / "dst/a.txt"), pattern(size)) << size;
    EXPECT_EQ(mode_of(dir / "dst/a.txt"), 0444u) << size;
    EXPECT_EQ(fs::last_write_time(dir / "dst/a.txt"), at(10)) << size;
    EXPECT_EQ(test_support::read_file(dir / "dst/a.txt.bak.1"), "old") << size;
    EXPECT_EQ(mode_of(dir / "dst/a.txt.bak.1"), 0400u) << size;
    EXPECT_TRUE(report.errors.empty()) << size;
    fs::remove(dir / "dst/a.txt");
  }
}

TEST_F(StagedChecks, FilesArriveOnAVolumeWithoutHardLinksAndTakenNamesAreKept) {
  // Such a volume can neither link nor rename without replacing: a new file, a replaced one
  // that becomes its generation, and a name taken while the copy runs all still come out right.
  test_support::ScopedFuseFat mount(dir / "fat");
  ASSERT_TRUE(mount.error().empty()) << mount.error();
  fs::path const target = dir / "fat/dst";
  fs::create_directories(target);
  // A volume mounted since this process last read the mount table counts as mounted once the
  // table is read again.
  for (int wait = 0; wait < 120 && !Utilities::MountedDrives::instance().drive_mounted(target, L"");
       ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  put(dir / "src/a.txt", "first", 10);
  pass(make_item(SyncItemType::File, dir / "src/a.txt", target / "a.txt", with_generations()));
  EXPECT_EQ(test_support::read_file(target / "a.txt"), "first");
  put(dir / "src/a.txt", "second", 20);
  pass(make_item(SyncItemType::File, dir / "src/a.txt", target / "a.txt", with_generations()));
  EXPECT_EQ(test_support::read_file(target / "a.txt"), "second");
  EXPECT_EQ(test_support::read_file(target / "a.txt.bak.1"), "first");
  EXPECT_EQ(count, 2u);
  EXPECT_TRUE(report.errors.empty()) << Utilities::util::wstring_to_string(report.errors[0]);

  put(dir / "src/b.txt", "from the source", 10);
  RecordingSink sink;
  sink.on_bytes = [&](std::uint64_t) { put(target / "b.txt", "made meanwhile", 20); };
  report = {};
  count = 0;
  pass(make_item(SyncItemType::File, dir / "src/b.txt", target / "b.txt", with_generations()));
  EXPECT_EQ(test_support::read_file(target / "b.txt"), "made meanwhile");
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(leftovers(target), 0u);
}

}  // namespace
