#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <vector>

#include "support/temp_dir.h"
#include "utilities/FileTime.h"

namespace file_time = Utilities::file_time;
using FileTime = file_time::FileTime;
using Limits = std::numeric_limits<std::int64_t>;

namespace {

constexpr std::int64_t NS = 1'000'000'000;

TEST(FileTime, UnixNanosecondsRoundTripAcrossTheRange) {
  // The file clock reaches back to 1882, the int64 nanoseconds forward to 2262.
  std::vector<std::int64_t> const values = {0,
                                            1,
                                            -1,
                                            1'700'000'000'123'456'789,
                                            -1'000'000'000'500'000'000,
                                            -2'700'000'000 * NS,
                                            Limits::max(),
                                            Limits::max() - 1,
                                            4'000'000'000 * NS + 999'999'999};
  for (std::int64_t const v : values)
    EXPECT_EQ(file_time::to_unix_nanoseconds(file_time::from_unix_nanoseconds(v)), v) << v;
}

TEST(FileTime, OutOfRangeValuesAreClamped) {
  EXPECT_EQ(file_time::from_unix_nanoseconds(Limits::min()), FileTime::min());
  EXPECT_EQ(file_time::to_unix_nanoseconds(FileTime::max()), Limits::max());
  EXPECT_EQ(file_time::from_unix_nanoseconds(file_time::to_unix_nanoseconds(FileTime::min())),
            FileTime::min());
  EXPECT_EQ(file_time::to_time_t(FileTime::min()), -2'785'708'036);  // 1881-09
  EXPECT_EQ(file_time::to_time_t(FileTime::max()), 15'661'036'036);  // 2466-04
  EXPECT_EQ(file_time::to_file_time(Limits::max()), FileTime::max());
  EXPECT_EQ(file_time::to_file_time(Limits::min()), FileTime::min());
  EXPECT_EQ(file_time::to_file_time(20'000'000'000), FileTime::max());
  // Whole seconds are not bound to the nanosecond range: the year 2400 is still exact.
  std::time_t const year_2400 = 13'574'563'200;
  EXPECT_EQ(file_time::to_time_t(file_time::to_file_time(year_2400)), year_2400);
}

TEST(FileTime, WholeSecondsTruncateTowardZero) {
  struct Case {
    std::int64_t ns;
    std::time_t seconds;
  };
  for (auto const& c : std::vector<Case>{{0, 0},
                                         {1'500'000'000, 1},
                                         {-1'500'000'000, -1},
                                         {-1, 0},
                                         {-NS, -1},
                                         {-NS - 1, -1},
                                         {1'700'000'000 * NS + 999'999'999, 1'700'000'000}})
    EXPECT_EQ(file_time::to_time_t(file_time::from_unix_nanoseconds(c.ns)), c.seconds) << c.ns;
  for (std::time_t const s : {0L, 1L, -1L, 1'700'000'000L, -2'000'000'000L})
    EXPECT_EQ(file_time::to_unix_nanoseconds(file_time::to_file_time(s)), s * NS) << s;
}

TEST(FileTime, ComparesToTheNanosecond) {
  FileTime const a = file_time::from_unix_nanoseconds(1'700'000'000 * NS);
  FileTime const b = file_time::from_unix_nanoseconds(1'700'000'000 * NS + 1);
  EXPECT_TRUE(file_time::greater(b, a));
  EXPECT_FALSE(file_time::greater(a, b));
  EXPECT_FALSE(file_time::greater(a, a));
  EXPECT_FALSE(file_time::equal(a, b));
  EXPECT_TRUE(file_time::equal(a, file_time::from_unix_nanoseconds(1'700'000'000 * NS)));
}

TEST(FileTime, AgreesWithStat) {
  test_support::TempDir dir;
  auto const file = dir / "f";
  test_support::write_file(file, "x");
  for (std::int64_t const ns : {1'700'000'000'123'456'789LL, 0LL, -1'000'000'000'500'000'000LL,
                                4'000'000'000'000'000'001LL}) {
    timespec const times[2] = {{0, UTIME_OMIT}, {ns / NS - (ns % NS < 0), (ns % NS + NS) % NS}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    EXPECT_EQ(file_time::to_unix_nanoseconds(std::filesystem::last_write_time(file)), ns);

    std::filesystem::last_write_time(file, file_time::from_unix_nanoseconds(ns + 7));
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::int64_t>(st.st_mtim.tv_sec) * NS + st.st_mtim.tv_nsec, ns + 7);
    EXPECT_EQ(file_time::to_time_t(std::filesystem::last_write_time(file)), (ns + 7) / NS);
  }
}

}  // namespace
