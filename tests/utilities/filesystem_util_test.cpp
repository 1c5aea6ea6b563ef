// File-system helpers on real files: inspection, content comparison, free room, read-only and
// full volumes, mount roots, whole text files and private files.
#include "utilities/FilesystemUtil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "support/scoped_mount.h"
#include "support/temp_dir.h"
#include "utilities/FileTime.h"
#include "utilities/Links.h"
#include "utilities/MountedDrives.h"
#include "utilities/Paths.h"

namespace {

namespace fs = std::filesystem;
using namespace Utilities::FilesystemUtil;
using test_support::write_file;
using Utilities::from_path;

class FilesystemUtilTest : public ::testing::Test {
 protected:
  std::wstring w(std::string const& relative) const { return from_path(temp / relative); }
  test_support::TempDir temp;
};

// Runs the test body with the current directory set to `dir`, then goes back.
class ScopedCwd {
 public:
  explicit ScopedCwd(fs::path const& dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ~ScopedCwd() { fs::current_path(old_); }

 private:
  fs::path old_;
};

TEST_F(FilesystemUtilTest, FileinfoReasons) {
  write_file(temp / "dä/€.txt", "12345");
  fs::create_directory(temp / "dir");
  fs::create_symlink(temp / "dä/€.txt", temp / "link");
  fs::create_symlink(temp / "nowhere", temp / "dangling");
  ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);
  auto const stamp = Utilities::file_time::from_unix_nanoseconds(1'600'000'000'123'456'789);
  fs::last_write_time(temp / "dä/€.txt", stamp);

  struct Case {
    std::string path;
    FileInfoResult reason;
  } const cases[] = {
      {"dä/€.txt", no_failure},
      {"link", no_failure},
      {"missing", file_not_exist},
      {"dangling", file_not_exist},
      {"gone/missing", directory_not_exist},
      {"dä/€.txt/below", directory_not_exist},
      {"dir", invalid_file_type},
      {"fifo", invalid_file_type},
      {std::string(300, 'n'), path_too_long},
  };
  for (auto const& c : cases) {
    std::uint64_t size = 99;
    auto mtime = fs::file_time_type::min();
    EXPECT_EQ(fileinfo(w(c.path), size, mtime), c.reason) << c.path;
    if (c.reason == no_failure) {
      EXPECT_EQ(size, 5u) << c.path;
      EXPECT_TRUE(Utilities::file_time::equal(mtime, stamp)) << c.path;
    } else {
      EXPECT_EQ(size, 99u) << "outputs stay untouched on failure";
    }
  }
}

TEST_F(FilesystemUtilTest, FileinfoOfARelativeMissingPathIsNoUnmountedDrive) {
  fs::create_directory(temp / "here");
  ScopedCwd cwd(temp / "here");
  std::uint64_t size = 0;
  fs::file_time_type mtime;
  EXPECT_EQ(fileinfo(L"missing", size, mtime), file_not_exist);
  EXPECT_EQ(fileinfo(L"nodir/missing", size, mtime), directory_not_exist);
}

TEST_F(FilesystemUtilTest, FileinfoBelowAVolumeMissingFromTheMountTableGives3) {
  std::uint64_t size = 0;
  fs::file_time_type mtime;
  // The first question reads the mount table; a volume mounted after that is not in it until the
  // cached reading is 10 s old.
  EXPECT_EQ(fileinfo(w("missing"), size, mtime), file_not_exist);
  test_support::ScopedTmpfs mount(temp / "vol", "size=64k");
  if (!mount.ok()) GTEST_SKIP() << mount.error();
  auto const result = fileinfo(w("vol/missing"), size, mtime);
  if (Utilities::MountedDrives::instance().time_elapsed())
    GTEST_SKIP() << "the cached mount table went stale during the test";
  EXPECT_EQ(result, drive_not_mounted);
}

TEST_F(FilesystemUtilTest, FileinfoUnreadableParentGives6) {
  fs::create_directories(temp / "closed/inner");
  ::chmod((temp / "closed").c_str(), 0700);
  ::chmod(temp.path().c_str(), 0755);
  auto const path = w("closed/inner/file");
  int const result = test_support::run_as_nobody([&] {
    std::uint64_t size = 0;
    fs::file_time_type mtime;
    return static_cast<int>(fileinfo(path, size, mtime));
  });
  if (result == 255 || result < 0) GTEST_SKIP() << "cannot run a child as user 65534";
  // The status of the file itself already fails with EACCES.
  EXPECT_EQ(result, permission_denied);
}

TEST_F(FilesystemUtilTest, ExistsAndTouch) {
  write_file(temp / "f", "x");
  fs::create_symlink(temp / "nowhere", temp / "dangling");
  EXPECT_TRUE(file_exists(w("f")));
  EXPECT_TRUE(file_exists(w("")));
  EXPECT_FALSE(file_exists(w("dangling")));
  EXPECT_FALSE(file_exists(w("missing")));
  EXPECT_TRUE(drive_exists(w("f")));

  auto const old = Utilities::file_time::from_unix_nanoseconds(1'000'000'000'000'000'000);
  fs::last_write_time(temp / "f", old);
  EXPECT_TRUE(touch(w("f")));
  EXPECT_GT(fs::last_write_time(temp / "f"), old);
  EXPECT_FALSE(touch(w("missing")));
  EXPECT_FALSE(fs::exists(temp / "missing"));
}

TEST_F(FilesystemUtilTest, CompareContent) {
  std::string big(600 * 1024, 'a');
  std::string changed = big;
  changed.back() = 'b';
  write_file(temp / "empty1", "");
  write_file(temp / "empty2", "");
  write_file(temp / "big", big);
  write_file(temp / "dä/€ copy", big);
  write_file(temp / "changed", changed);
  write_file(temp / "longer", big + "x");
  fs::create_directory(temp / "dir");
  ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);

  struct Case {
    std::wstring a, b;
    bool equal;
    FileInfoResult reason;
    std::wstring failed;
  } const cases[] = {
      {w("empty1"), w("empty2"), true, no_failure, L""},
      {w("big"), w("dä/€ copy"), true, no_failure, L""},
      {w("big"), w("changed"), false, no_failure, L""},
      {w("big"), w("longer"), false, no_failure, L""},
      {w("longer"), w("big"), false, no_failure, L""},
      {w("big"), w("missing"), false, file_not_exist, w("missing")},
      {w("missing"), w("big"), false, file_not_exist, w("missing")},
      // These used to never return: an empty file against a directory, a FIFO, an endless device.
      {w("empty1"), w("dir"), false, invalid_file_type, w("dir")},
      {w("fifo"), w("empty1"), false, invalid_file_type, w("fifo")},
      {w("empty1"), L"/dev/zero", false, invalid_file_type, L"/dev/zero"},
  };
  for (auto const& c : cases) {
    auto const result = compare_content(c.a, c.b);
    EXPECT_EQ(result.equal, c.equal) << c.a.size() << " " << c.b.size();
    EXPECT_EQ(result.reason, c.reason);
    EXPECT_EQ(result.path, c.failed);
    EXPECT_EQ(files_equal(c.a, c.b), c.equal);
  }
}

TEST_F(FilesystemUtilTest, CompareContentReportsUnreadableFile) {
  write_file(temp / "a", "x");
  write_file(temp / "b", "x");
  ::chmod((temp / "b").c_str(), 0600);
  ::chmod(temp.path().c_str(), 0755);
  auto const a = w("a"), b = w("b");
  int const result = test_support::run_as_nobody([&] {
    auto const r = compare_content(a, b);
    return r.path == b && !r.equal ? static_cast<int>(r.reason) : 200;
  });
  if (result == 255 || result < 0) GTEST_SKIP() << "cannot run a child as user 65534";
  EXPECT_EQ(result, permission_denied);
}

TEST_F(FilesystemUtilTest, FreeSpaceAndReadOnlyVolumes) {
  EXPECT_EQ(free_space("/no/such/volume"), std::nullopt);
  EXPECT_FALSE(read_only_filesystem(temp / "not/yet/there"));

  test_support::ScopedTmpfs mount(temp / "vol", "size=1m");
  if (!mount.ok()) GTEST_SKIP() << mount.error();
  auto const room = free_space(temp / "vol");
  ASSERT_TRUE(room.has_value());
  EXPECT_GT(*room, 0u);
  EXPECT_LE(*room, 1024u * 1024u);
  ASSERT_TRUE(mount.remount("ro"));
  EXPECT_TRUE(read_only_filesystem(temp / "vol/not/yet/there"));
  EXPECT_TRUE(read_only_filesystem(temp / "vol"));
  EXPECT_FALSE(read_only_filesystem(temp.path()));
}

TEST_F(FilesystemUtilTest, MountRoots) {
  EXPECT_EQ(get_mount_root("/"), fs::path("/"));
  EXPECT_EQ(is_mountpoint("/"), std::nullopt);

  test_support::ScopedTmpfs mount(temp / "vol", "size=64k");
  if (!mount.ok()) GTEST_SKIP() << mount.error();
  fs::create_directories(temp / "vol/sub");
  auto const vol = fs::weakly_canonical(temp / "vol");
  EXPECT_EQ(get_mount_root(temp / "vol/sub/missing/deeper"), vol);
  EXPECT_EQ(get_mount_root(temp / "vol/sub/"), vol);
  EXPECT_EQ(get_mount_root(temp / "vol"), vol);
  EXPECT_EQ(is_mountpoint(temp / "vol"), vol);
  EXPECT_EQ(is_mountpoint(temp / "vol/sub"), std::nullopt);
  EXPECT_EQ(is_mountpoint(temp / "vol/missing"), std::nullopt);
  {
    ScopedCwd cwd(temp / "vol/sub");
    EXPECT_EQ(get_mount_root("missing/deeper"), vol);
  }
  EXPECT_TRUE(volume_exists(L"", from_path(temp.path().filename()) + L"/vol"));
  EXPECT_FALSE(volume_exists(L"", L"no volume is called like this"));
}

TEST_F(FilesystemUtilTest, Utf8Files) {
  auto const file = temp / "dä" / "€.txt";
  fs::create_directory(temp / "dä");
  write_utf8_file(file, L"Grüße €\n");
  EXPECT_EQ(test_support::read_file(file),
            "Gr\xc3\xbc\xc3\x9f"
            "e \xe2\x82\xac\n");
  EXPECT_EQ(read_utf8_file(file), L"Grüße €\n");

  write_file(temp / "bom", "\xef\xbb\xbfx\xff");
  EXPECT_EQ(read_utf8_file(temp / "bom"), L"\xfeffx\xfffd");
  write_file(temp / "empty", "");
  EXPECT_EQ(read_utf8_file(temp / "empty"), L"");

  try {
    read_utf8_file(temp / "missing");
    ADD_FAILURE() << "no exception";
  } catch (std::ios_base::failure const& e) {
    EXPECT_NE(std::string(e.what()).find("cannot open " + (temp / "missing").string()),
              std::string::npos);
  }
  fs::create_directory(temp / "dir");
  EXPECT_THROW(read_utf8_file(temp / "dir"), std::ios_base::failure);
  EXPECT_THROW(write_utf8_file(temp / "nodir/x", L"x"), std::ios_base::failure);
}

TEST_F(FilesystemUtilTest, WriteUtf8FileOnAFullVolumeLeavesNothing) {
  test_support::ScopedTmpfs mount(temp / "vol", "size=64k");
  if (!mount.ok()) GTEST_SKIP() << mount.error();
  std::wstring const text(200 * 1024, L'x');
  try {
    write_utf8_file(temp / "vol/state.tmp", text);
    ADD_FAILURE() << "no exception";
  } catch (std::ios_base::failure const& e) {
    EXPECT_EQ(e.code(), std::errc::no_space_on_device) << e.what();
  }
  EXPECT_FALSE(fs::exists(temp / "vol/state.tmp"));
}

TEST_F(FilesystemUtilTest, PrivateFiles) {
  auto const file = temp / "dä/secret.key";
  write_file(file, "the old and longer content");
  ::chmod(file.c_str(), 0644);
  EXPECT_TRUE(write_private_file(file, "new"));
  EXPECT_EQ(test_support::read_file(file), "new");
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  auto const fresh = temp / "fresh.key";
  EXPECT_TRUE(write_private_file(fresh, ""));
  EXPECT_EQ(fs::status(fresh).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(write_private_file(temp / "nodir/x.key", "x"));

  test_support::ScopedTmpfs mount(temp / "vol", "size=64k");
  if (!mount.ok()) GTEST_SKIP() << mount.error();
  EXPECT_FALSE(write_private_file(temp / "vol/big.key", std::string(200 * 1024, 'k')));
}

TEST_F(FilesystemUtilTest, NonAsciiPathsPassThroughEveryHelper) {
  namespace links = Utilities::symlink_util;
  auto const dir = temp / "dä";
  auto const file = dir / "€.txt";
  std::error_code ec;
  ASSERT_EQ(create_directory_refusal(dir / "ü", ec), no_failure);
  write_utf8_file(file, L"ä€");
  EXPECT_EQ(read_utf8_file(file), L"ä€");
  EXPECT_EQ(read_refusal(from_path(file)), no_failure);
  EXPECT_TRUE(file_exists(from_path(file)));
  std::uint64_t size = 0;
  fs::file_time_type mtime;
  EXPECT_EQ(fileinfo(from_path(file), size, mtime), no_failure);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(write_time_refusal(from_path(file), mtime), no_failure);
  EXPECT_EQ(permissions_refusal(from_path(file), fs::perms::owner_read | fs::perms::owner_write),
            no_failure);
  EXPECT_TRUE(touch(from_path(file)));
  ASSERT_EQ(links::create_link_refusal("€.txt", dir / "ö-link", false), no_failure);
  EXPECT_EQ(links::link_info(dir / "ö-link").text, "€.txt");
  EXPECT_FALSE(links::dangling_link(dir / "ö-link"));
  EXPECT_FALSE(links::system_link(dir / "ö-link"));
  EXPECT_TRUE(compare_content(from_path(file), from_path(dir / "ö-link")).equal);
  EXPECT_EQ(rename_refusal(from_path(file), from_path(dir / "ß.txt")), no_failure);
  EXPECT_TRUE(write_private_file(dir / "ключ", "k"));
  EXPECT_EQ(get_mount_root(dir / "ü" / "missing"), get_mount_root(temp.path()));
  EXPECT_FALSE(read_only_filesystem(dir / "ü" / "missing"));
  EXPECT_TRUE(free_space(dir).has_value());
  EXPECT_EQ(remove_refusal(from_path(dir / "ß.txt")), no_failure);
  EXPECT_EQ(remove_refusal(from_path(dir / "ü")), no_failure);
  EXPECT_FALSE(fs::exists(dir / "ü"));
}

TEST(EntryNames, PlainEntryName) {
  struct Case {
    std::string_view name;
    bool plain;
  } const cases[] = {
      {"", false},    {".", false},    {"..", false},
      {"a/b", false}, {"a\\b", false}, {std::string_view("a\0b", 3), false},
      {"...", true},  {" ", true},     {".hidden", true},
      {"€", true},
  };
  for (auto const& c : cases) EXPECT_EQ(plain_entry_name(c.name), c.plain) << c.name;
}

TEST(Environment, HomeAndVariables) {
  {
    test_support::ScopedEnv home("HOME", "/somewhere/else");
    EXPECT_EQ(home_dir(), "/somewhere/else");
  }
  {
    test_support::ScopedEnv home("HOME", nullptr);
    EXPECT_EQ(home_dir(),
              test_support::run_output("getent passwd $(id -u) | cut -d: -f6 | tr -d '\\n'"));
  }
  test_support::ScopedEnv set("PELLI_TEST_VALUE", "v");
  EXPECT_EQ(env_path("PELLI_TEST_VALUE"), "v");
  test_support::ScopedEnv empty("PELLI_TEST_EMPTY", "");
  EXPECT_EQ(env_path("PELLI_TEST_EMPTY"), std::nullopt);
  EXPECT_EQ(env_path("PELLI_TEST_UNSET_VALUE"), std::nullopt);
}

}  // namespace
