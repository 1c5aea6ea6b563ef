// Failure reasons: the errno table, its texts, and the refusal operations against real failures
// (read-only and full tmpfs mounts, immutable files, an unprivileged child, over-long names).
#include "utilities/FailureReasons.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "singleton_log.h"
#include "support/scoped_mount.h"
#include "support/temp_dir.h"
#include "utilities/Links.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace {

namespace fs = std::filesystem;
using namespace Utilities::FilesystemUtil;
using Utilities::from_path;
using Utilities::LogLevel;

std::error_code generic(int e) { return {e, std::generic_category()}; }
std::error_code system_code(int e) { return {e, std::system_category()}; }

TEST(ReasonForFailure, ErrnoTableInBothCategories) {
  struct Case {
    int error;
    FileInfoResult reason;
  } const cases[] = {
      {ETXTBSY, file_locked},
      {EBUSY, file_locked},
      {EROFS, filesystem_read_only},
      {EDQUOT, disk_full},
      {ENOSPC, disk_full},
      {EILSEQ, file_name_invalid},
      {ENAMETOOLONG, path_too_long},
      {EFBIG, file_too_large},
      {EIO, device_error},
      {EACCES, permission_denied},
      {ENOTSUP, unsupported_operation},
      {ENOSYS, unsupported_operation},
      {ENOENT, file_not_exist},
      {EPERM, file_info_read_error},
      {ENOTDIR, file_info_read_error},
      {EEXIST, file_info_read_error},
      {0, file_info_read_error},
  };
  for (auto const& c : cases) {
    EXPECT_EQ(reason_for_failure(generic(c.error)), c.reason) << "generic " << c.error;
    EXPECT_EQ(reason_for_failure(system_code(c.error)), c.reason) << "system " << c.error;
    FileInfoResult const write =
        c.reason == file_info_read_error ? file_info_write_error : c.reason;
    EXPECT_EQ(reason_for_write_failure(system_code(c.error)), write) << c.error;
  }
  // A code of another category with an errno-like value is no errno.
  EXPECT_EQ(reason_for_failure(std::make_error_code(std::io_errc::stream)), file_info_read_error);
}

TEST(ReasonForFailure, CreateFailureNamesOnlyForEinval) {
  struct Case {
    char const* name;
    int error;
    FileInfoResult reason;
  } const cases[] = {
      {"x.", EINVAL, file_name_invalid},        {"x ", EINVAL, file_name_invalid},
      {"a:b", EINVAL, file_name_invalid},       {"a?b", EINVAL, file_name_invalid},
      {"a\tb", EINVAL, file_name_invalid},      {"x./", EINVAL, file_name_invalid},
      {"plain", EINVAL, file_info_write_error}, {"x.", EACCES, permission_denied},
      {"x.", EPERM, file_info_write_error},
  };
  for (auto const& c : cases)
    EXPECT_EQ(reason_for_create_failure(system_code(c.error), fs::path("/d") / c.name), c.reason)
        << c.name << " " << c.error;
}

TEST(FailureTexts, FallBackToUnknownError) {
  auto const unknown = Utilities::translation::translate("unknown_error");
  EXPECT_EQ(make_error_message(no_failure), unknown);
  EXPECT_EQ(make_error_message(unknown_error), unknown);
  EXPECT_EQ(make_error_message(static_cast<FileInfoResult>(99)), unknown);
  EXPECT_EQ(make_error_message(disk_full), Utilities::translation::translate("disk_full"));
  EXPECT_EQ(failure_text(std::error_code()), unknown);
  EXPECT_EQ(failure_text(generic(ENOSPC)), Utilities::translation::translate("disk_full"));
  // Outside the table the system's own message is the text.
  EXPECT_EQ(failure_text(system_code(EPERM)), L"Operation not permitted");
  errno = EXDEV;
  std::error_code const stream = last_stream_error();
  EXPECT_EQ(stream, generic(EXDEV));
}

TEST(FailureTexts, HandleLastErrorLineLayout) {
  test_support::SingletonLog log;
  handle_last_error(
      fs::filesystem_error("copy failed", fs::path("/a \"b\""), fs::path("/c"), generic(ENOSPC)));
  auto const lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Error\twhat():  filesystem error: copy failed: No space left on device [/a \"b\"] "
            "[/c] path1(): \"/a \\\"b\\\"\" path2(): \"/c\" code().value():    28 "
            "code().message():  No space left on device code().category(): generic ");
}

// Every refusal operation against real failures.
class RefusalFailures : public ::testing::Test {
 protected:
  test_support::TempDir temp;
  std::wstring w(fs::path const& p) { return from_path(p); }
};

TEST_F(RefusalFailures, ReadOnlyFileSystemGives13) {
  test_support::ScopedTmpfs mount(temp / "ro", "size=64k");
  if (!mount.ok()) GTEST_SKIP() << mount.error();
  test_support::write_file(temp / "ro/file", "x");
  fs::create_directory(temp / "ro/dir");
  ASSERT_TRUE(mount.remount("ro"));
  auto const file = temp / "ro/file";
  std::error_code ec;
  EXPECT_EQ(create_directory_refusal(temp / "ro/new/deeper", ec), filesystem_read_only);
  EXPECT_EQ(ec, std::errc::read_only_file_system);
  EXPECT_EQ(rename_refusal(w(file), w(temp / "ro/other")), filesystem_read_only);
  EXPECT_EQ(remove_refusal(w(file)), filesystem_read_only);
  EXPECT_EQ(remove_refusal(w(temp / "ro/dir")), filesystem_read_only);
  EXPECT_EQ(write_time_refusal(w(file), fs::file_time_type::clock::now()), filesystem_read_only);
  EXPECT_EQ(permissions_refusal(w(file), fs::perms::owner_read), filesystem_read_only);
  EXPECT_EQ(Utilities::symlink_util::create_link_refusal("file", temp / "ro/link", false),
            filesystem_read_only);
  EXPECT_EQ(read_refusal(w(file)), no_failure);
}

TEST_F(RefusalFailures, FullFileSystemGives12) {
  // Two inodes: the root directory and one file; nothing more can be made.
  test_support::ScopedTmpfs mount(temp / "full", "size=64k,nr_inodes=2");
  if (!mount.ok()) GTEST_SKIP() << mount.error();
  test_support::write_file(temp / "full/file", "x");
  std::error_code ec;
  EXPECT_EQ(create_directory_refusal(temp / "full/dir", ec), disk_full);
  EXPECT_EQ(Utilities::symlink_util::create_link_refusal("file", temp / "full/link", false),
            disk_full);
}

TEST_F(RefusalFailures, ImmutableFileGivesEpermReasons) {
  test_support::write_file(temp / "dir/file", "x");
  if (test_support::run("chattr +i '" + (temp / "dir/file").string() + "' 2>/dev/null") != 0)
    GTEST_SKIP() << "chattr +i is not supported here";
  auto const file = w(temp / "dir/file");
  EXPECT_EQ(remove_refusal(file), file_info_write_error);
  EXPECT_EQ(rename_refusal(file, w(temp / "dir/other")), file_info_write_error);
  EXPECT_EQ(write_time_refusal(file, fs::file_time_type::clock::now()), file_info_write_error);
  EXPECT_EQ(permissions_refusal(file, fs::perms::owner_all), file_attributes_not_settable);
  EXPECT_FALSE(set_last_write_time(file, fs::file_time_type::clock::now(), LogLevel::None));
  EXPECT_TRUE(fs::exists(temp / "dir/file"));

  ASSERT_EQ(test_support::run("chattr +i '" + (temp / "dir").string() + "'"), 0);
  EXPECT_EQ(Utilities::symlink_util::create_link_refusal("file", temp / "dir/link", false),
            links_not_supported);
}

TEST_F(RefusalFailures, UnprivilegedUserGives6) {
  test_support::write_file(temp / "secret/file", "x");
  ::chmod((temp / "secret/file").c_str(), 0600);
  ::chmod((temp / "secret").c_str(), 0755);
  ::chmod(temp.path().c_str(), 0755);
  auto const file = w(temp / "secret/file");
  auto const dir = temp / "secret/new";
  int const read =
      test_support::run_as_nobody([&] { return static_cast<int>(read_refusal(file)); });
  if (read == 255 || read < 0) GTEST_SKIP() << "cannot run a child as user 65534";
  EXPECT_EQ(read, permission_denied);
  EXPECT_EQ(test_support::run_as_nobody([&] {
              std::error_code ec;
              return static_cast<int>(create_directory_refusal(dir, ec));
            }),
            permission_denied);
  EXPECT_EQ(test_support::run_as_nobody([&] { return static_cast<int>(remove_refusal(file)); }),
            permission_denied);
  EXPECT_EQ(test_support::run_as_nobody(
                [&] { return static_cast<int>(permissions_refusal(file, fs::perms::owner_all)); }),
            file_attributes_not_settable);
}

TEST_F(RefusalFailures, NamesAndPlacesThatCannotBe) {
  auto const long_name = temp / std::string(300, 'a');
  std::error_code ec;
  EXPECT_EQ(create_directory_refusal(long_name, ec), path_too_long);
  EXPECT_EQ(read_refusal(w(long_name)), path_too_long);
  EXPECT_EQ(remove_refusal(w(long_name)), path_too_long);

  test_support::write_file(temp / "file", "x");
  EXPECT_EQ(create_directory_refusal(temp / "file/sub", ec), directory_not_creatable);
  EXPECT_EQ(create_directory_refusal(temp / "file", ec), directory_not_creatable);
  EXPECT_EQ(ec, std::errc::not_a_directory);
  EXPECT_EQ(create_directory_refusal(temp / "made/deeper", ec), no_failure);
  EXPECT_FALSE(ec);
  EXPECT_EQ(create_directory_refusal(temp / "made/deeper", ec), no_failure);
  EXPECT_EQ(read_refusal(w(temp / "missing")), file_not_exist);
  auto const stamp = fs::file_time_type::clock::now() - std::chrono::hours(1);
  EXPECT_TRUE(set_last_write_time(w(temp / "file"), stamp, LogLevel::Error));
  EXPECT_EQ(fs::last_write_time(temp / "file"), stamp);
  EXPECT_EQ(permissions_refusal(w(temp / "file"), fs::perms::owner_read), no_failure);
  EXPECT_EQ(fs::status(temp / "file").permissions(), fs::perms::owner_read);
  EXPECT_EQ(Utilities::symlink_util::create_link_refusal("x", temp / "file", false),
            file_info_write_error);
}

TEST_F(RefusalFailures, ReadRefusalNeverBlocks) {
  ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(read_refusal(w(temp / "fifo")), invalid_file_type);
  EXPECT_EQ(read_refusal(L"/dev/zero"), invalid_file_type);
  EXPECT_EQ(read_refusal(w(temp.path())), no_failure);
}

TEST_F(RefusalFailures, RenameAndRemoveLogAsAgreed) {
  test_support::SingletonLog log(LogLevel::Info);
  test_support::write_file(temp / "dä/€.txt", "x");
  auto const from = w(temp / "dä/€.txt");
  auto const to = w(temp / "dä/ü.txt");
  EXPECT_TRUE(rename_file(from, to));
  EXPECT_EQ(rename_refusal(from, to), file_not_exist);
  EXPECT_EQ(remove_refusal(from), file_not_exist);
  EXPECT_FALSE(remove_file(from, LogLevel::Error));
  EXPECT_TRUE(remove_file(to, LogLevel::Error));

  fs::create_directories(temp / "full/inner");
  EXPECT_FALSE(remove_file(w(temp / "full"), LogLevel::Warning));
  EXPECT_FALSE(remove_file(w(temp / "full"), LogLevel::None));

  auto const u8 = [](std::wstring const& s) { return Utilities::util::wstring_to_string(s); };
  auto const lines = log.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Info\trename_file " + u8(from) + " " + u8(to));
  EXPECT_EQ(lines[1], "Info\trename_file " + u8(from) + " " + u8(to));
  EXPECT_EQ(lines[2], "Error\t" + Utilities::translation::translate_utf8("file_rename_error") +
                          u8(from) + " -> " + u8(to) + ": No such file or directory");
  EXPECT_EQ(lines[3].rfind("Warning\tError removing file: ", 0), 0u) << lines[3];
}

}  // namespace
