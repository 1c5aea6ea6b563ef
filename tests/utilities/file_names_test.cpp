#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "utilities/FileNames.h"
#include "utilities/SystemInfo.h"
#include "utilities/Util.h"

namespace file_name = Utilities::file_name;
using namespace std::chrono;

namespace {

// Puts the process in a time zone for the life of the object.
class ScopedZone {
 public:
  explicit ScopedZone(char const* zone)
      : env_(std::make_unique<test_support::ScopedEnv>("TZ", zone)) {
    tzset();
  }
  ~ScopedZone() {
    env_.reset();
    tzset();
  }

 private:
  std::unique_ptr<test_support::ScopedEnv> env_;
};

constexpr char const* BERLIN = "CET-1CEST,M3.5.0,M10.5.0/3";

TEST(FileNames, TimestampPrefixInLocalTime) {
  ScopedZone zone(BERLIN);
  struct Case {
    std::string path;
    system_clock::time_point utc;
    std::string expected;
  };
  auto const march = sys_days{2024y / March / 5};
  std::vector<Case> const cases = {
      {"/bin/x.txt", march + 13h + 7min + 9s + 42ms, "/bin/2024-03-05_14-07-09-042_x.txt"},
      {"/bin/x.txt", march + 13h + 7min + 9s, "/bin/2024-03-05_14-07-09-000_x.txt"},
      {"/bin/x.txt", march + 13h + 7min + 9s + 999999us, "/bin/2024-03-05_14-07-09-999_x.txt"},
      {"x.txt", sys_days{2024y / July / 1} + 10h, "2024-07-01_12-00-00-000_x.txt"},
      {"/d/\xFF.txt", march + 23h + 30min, "/d/2024-03-06_00-30-00-000_\xFF.txt"},
      {"/bin/", march, "/bin/"},
      {"", march, ""},
  };
  for (auto const& c : cases)
    EXPECT_EQ(file_name::with_timestamp_prefix(c.path, c.utc).native(), c.expected) << c.path;
}

TEST(FileNames, TimestampPrefixBeforeTheEpochRoundsTowardThePast) {
  ScopedZone zone("UTC0");
  auto const t = system_clock::time_point{} - 500ms;
  EXPECT_EQ(file_name::with_timestamp_prefix("/b/x", t).native(), "/b/1969-12-31_23-59-59-500_x");
}

TEST(FileNames, LocalDateFollowsTheZone) {
  ScopedZone zone("XYZ-14");
  auto date_in_zone = [] {
    std::time_t const shifted = std::time(nullptr) + 14 * 3600;
    std::tm broken{};
    gmtime_r(&shifted, &broken);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &broken);
    return Utilities::util::string_to_wstring(text);
  };
  std::wstring const before = date_in_zone();
  std::wstring const date = file_name::local_date();
  std::wstring const after = date_in_zone();
  EXPECT_TRUE(date == before || date == after) << Utilities::util::wstring_to_string(date);
}

TEST(FileNames, Sanitized) {
  struct Case {
    std::wstring name;
    std::wstring expected;
  };
  std::vector<Case> const cases = {
      {L"a:b/c", L"a_b_c"},
      {L"<>:\"/\\|?*", L"_________"},
      {L"name...", L"name"},
      {L"...", L""},
      {L" . . ", L""},
      {L"", L""},
      {L"a\tb", L"a_b"},
      {std::wstring(L"a\0b", 3), L"a_b"},
      {L"x\x1F\x7F", L"x_\x7F"},
      {L".hidden", L".hidden"},
      {L"Sicherung \u00E4 ", L"Sicherung \u00E4"},
  };
  for (auto const& c : cases)
    EXPECT_EQ(file_name::sanitized(c.name), c.expected)
        << Utilities::util::wstring_to_string(c.name);
}

TEST(SystemInfo, HostNameAndPid) {
  std::string const name = Utilities::system_info::host_name();
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name, Utilities::util::trimmed(test_support::run_output("hostname")));
  EXPECT_EQ(Utilities::system_info::current_pid(), static_cast<int>(getpid()));
}

}  // namespace
