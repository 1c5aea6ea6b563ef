#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"
#include "utilities/Paths.h"

using Utilities::from_path;
using Utilities::to_path;

namespace {

TEST(Paths, WideTextAndPathMeetInUtf8) {
  EXPECT_EQ(to_path(L"/tmp/\u00E4/\U0001F600.txt").native(), "/tmp/\xC3\xA4/\xF0\x9F\x98\x80.txt");
  EXPECT_EQ(from_path("/tmp/\xC3\xA4"), L"/tmp/\u00E4");
  EXPECT_EQ(from_path("\xFF"), L"\uFFFD");
  EXPECT_EQ(to_path({static_cast<wchar_t>(0xD800)}).native(), "\xEF\xBF\xBD");
  EXPECT_EQ(to_path(L"").native(), "");
}

TEST(Paths, NonAsciiNamesReachTheFileSystem) {
  test_support::TempDir dir;
  std::wstring const name = from_path(dir.path()) + L"/\u00DCbersicht \U0001F600";
  test_support::write_file(to_path(name), "x");
  bool found = false;
  for (auto const& entry : std::filesystem::directory_iterator(dir.path()))
    found = found || from_path(entry.path()) == name;
  EXPECT_TRUE(found);
  EXPECT_EQ(from_path(to_path(name)), name);
}

}  // namespace
