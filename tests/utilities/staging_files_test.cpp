// Staging names: the usual "<name>.kvo-part" where it fits, a shorter one in the same folder
// where it would pass the limit of a name, and leftovers removed only while no copy claims them.
#include "utilities/StagingFiles.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "utilities/Paths.h"
#include "utilities/Util.h"

namespace {

namespace fs = std::filesystem;
using Utilities::staging::staging_path;

std::size_t utf8_bytes(std::wstring const& text) {
  return Utilities::util::wstring_to_string(text).size();
}

TEST(StagingFiles, NamesFitTheLimitAndStayInTheirFolder) {
  struct Case {
    char const* name;
    std::wstring file;
    bool shortened;
  };
  std::wstring const e_acute(1, L'\u00e9');
  for (Case const& c : std::vector<Case>{
           {"246 bytes", std::wstring(246, L'a'), false},
           {"247 bytes", std::wstring(247, L'a'), true},
           {"255 bytes", std::wstring(255, L'a'), true},
           {"255 bytes of two-byte characters",
            [&] {
              std::wstring s;
              for (int i = 0; i < 127; ++i) s += e_acute;
              return s + L"x";
            }(),
            true},
           {"a backslash is part of the name", L"a\\" + std::wstring(250, L'b'), true},
       }) {
    SCOPED_TRACE(c.name);
    std::wstring const destination = L"/some/folder/" + c.file;
    std::wstring const staged = staging_path(destination);
    ASSERT_EQ(staged.rfind(L"/some/folder/", 0), 0u);
    std::wstring const name = staged.substr(13);
    EXPECT_EQ(name.find(L'/'), std::wstring::npos);
    EXPECT_TRUE(Utilities::staging::staging_name(name));
    EXPECT_LE(utf8_bytes(name), 255u);
    EXPECT_EQ(staged == destination + L".kvo-part", !c.shortened);
    // The cut never splits a character: the name converts back to the same text.
    EXPECT_EQ(Utilities::util::string_to_wstring(Utilities::util::wstring_to_string(name)), name);
    EXPECT_EQ(staging_path(destination), staged) << "the same destination, the same name";
  }
  // Long names that share their start still get names of their own.
  std::wstring const stem(240, L's');
  EXPECT_NE(staging_path(L"/f/" + stem + L"-one"), staging_path(L"/f/" + stem + L"-two"));
}

TEST(StagingFiles, LeftoverIsRemovedOnlyWhileNoCopyClaimsIt) {
  test_support::TempDir dir;
  fs::path const part = dir / "a.txt.kvo-part";
  test_support::write_file(part, "half");
  {
    Utilities::staging::Claim const claim(part);
    EXPECT_FALSE(Utilities::staging::remove_leftover(part));
    EXPECT_TRUE(fs::exists(part));
  }
  EXPECT_TRUE(Utilities::staging::remove_leftover(part));
  EXPECT_FALSE(fs::exists(part));
  fs::create_directories(dir / "folder.kvo-part");
  EXPECT_FALSE(Utilities::staging::remove_leftover(dir / "folder.kvo-part"));
  EXPECT_TRUE(fs::is_directory(dir / "folder.kvo-part"));
}

}  // namespace
