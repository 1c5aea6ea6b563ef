#include "core/versions/BinNames.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

using namespace KVO_Core::restore;
using namespace std::chrono;

Microseconds local_time(int year, int month, int day, int hour, int minute, int second, int ms) {
  std::tm broken{};
  broken.tm_year = year - 1900;
  broken.tm_mon = month - 1;
  broken.tm_mday = day;
  broken.tm_hour = hour;
  broken.tm_min = minute;
  broken.tm_sec = second;
  broken.tm_isdst = -1;
  return time_point_cast<microseconds>(system_clock::from_time_t(std::mktime(&broken))) +
         milliseconds(ms);
}

TEST(BinNames, StampedReadsTheWholeForm) {
  auto reading = stamped("2024-05-01_10-02-03-004_a.txt");
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->first, local_time(2024, 5, 1, 10, 2, 3, 4));
  EXPECT_EQ(reading->second, "a.txt");
  // Values are normalised, not bounded: month 13 is January of the next year.
  auto normalised = stamped("2024-13-01_00-00-00-000_x");
  ASSERT_TRUE(normalised);
  EXPECT_EQ(normalised->first, local_time(2025, 1, 1, 0, 0, 0, 0));
}

TEST(BinNames, MalformedStampsAreNoStamps) {
  for (std::string name :
       {"2024-05-01_10-02-03-004_", "2024-5-01_10-02-03-004_a", "2024-05-01-10-02-03-004_a",
        "2024-05-01_10-02-03-04_a", "2024-05-01_10-02-03-0045a", "x024-05-01_10-02-03-004_a",
        "2024-05-01_10-02-03-004_a\nb", "2024-05-01_10-02-03-004_a\rb",
        "2024-05-01_10-02-03-004_a\xE2\x80\xA8", "2024-05-01_10-02-03-004_\xE2\x80\xA9", "a.txt",
        ""})
    EXPECT_FALSE(stamped(name)) << name;
}

TEST(BinNames, OriginOfAStampedFileOrFolder) {
  struct Case {
    std::string item;
    std::string origin;
    bool stamped;
  };
  for (auto const& c : std::vector<Case>{
           {"Users/ann/docs/2024-05-01_10-02-03-004_a.txt", "Users/ann/docs/a.txt", true},
           {"Users/ann/2024-05-01_10-02-03-004_photos/x.jpg", "Users/ann/photos/x.jpg", true},
           {"Users/ann/2024-05-01_10-02-03-004_photos/2024-06-01_10-02-03-004_y/x.jpg",
            "Users/ann/photos/2024-06-01_10-02-03-004_y/x.jpg", true},
           {"Users/ann/plain.txt", "Users/ann/plain.txt", false},
       }) {
    std::filesystem::path origin;
    auto reading = stamped_origin(c.item, origin);
    EXPECT_EQ(reading.has_value(), c.stamped) << c.item;
    EXPECT_EQ(origin, c.origin) << c.item;
  }
  EXPECT_EQ(deleted_at("Users/ann/2024-05-01_10-02-03-004_photos/x.jpg"),
            local_time(2024, 5, 1, 10, 2, 3, 4));
}

TEST(BinNames, StampedNameKeepsTheBytesOfTheName) {
  auto when = system_clock::from_time_t(1714557723) + milliseconds(4);
  auto name = stamped_name("/home/ann/\xff\xfe.txt", when);
  EXPECT_EQ(name.parent_path(), "home/ann");
  std::filesystem::path origin;
  auto reading = stamped_origin(name, origin);
  ASSERT_TRUE(reading);
  EXPECT_EQ(origin, "home/ann/\xff\xfe.txt");
  EXPECT_EQ(reading->first, time_point_cast<microseconds>(when));
  EXPECT_EQ(name.filename().string().substr(20, 4), "004_");
}

}  // namespace
