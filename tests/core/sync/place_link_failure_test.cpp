// Placing a link over a file when the kernel refuses renames onto the place: the test runs
// itself again with a preloaded library that fails them, so the engine's own calls fail as a
// full disk or a failing device would make them fail. Whatever stood there is never lost.
#include <cstdlib>
#include <ostream>

#include "tree_fixture.h"
#include "utilities/Translation.h"

namespace {

using namespace tree_test;

constexpr char const* INJECTED = "PELLI_FAIL_RENAME_TO";

struct Failure {
  char const* name;
  char const* times;  // renames onto the place that fail; nullptr: all of them
  bool kept_aside;    // the occupant could not be put back and stays under its parking name
  Tree after;
  Tree after_next_pass;  // a pass without failures
};

void PrintTo(Failure const& failure, std::ostream* out) { *out << failure.name; }

class PlaceLinkFailure : public TreeItem, public testing::WithParamInterface<Failure> {
 protected:
  // Builds the injector and runs this very test in a child process under it, which must pass.
  void rerun_under_injector() {
    test_support::TempDir tools;
    fs::path const library = tools / "fail_rename.so";
    std::string const build = "cc -shared -fPIC -o '" + library.string() + "' '" +
                              PELLI_SOURCE_DIR + "/tests/support/fail_rename.c' 2>&1";
    ASSERT_EQ(test_support::run(build + " >'" + (tools / "cc.log").string() + "'"), 0)
        << test_support::read_file(tools / "cc.log");
    auto const* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string const filter = std::string(info->test_suite_name()) + "." + info->name();
    fs::path const log = tools / "child.log";
    std::string command = "LD_PRELOAD='" + library.string() + "' " + INJECTED + "='*/dst/l' ";
    if (GetParam().times)
      command += std::string("PELLI_FAIL_RENAME_TIMES=") + GetParam().times + " ";
    // The sanitizer runtime wants to come first among the loaded libraries; here it cannot.
    command += "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\" '" +
               fs::read_symlink("/proc/self/exe").string() + "' --gtest_filter='" + filter +
               "' >'" + log.string() + "' 2>&1";
    int const status = test_support::run(command);
    std::string const printed = test_support::read_file(log);
    EXPECT_EQ(status, 0) << printed;
    EXPECT_NE(printed.find("[  PASSED  ] 1 test."), std::string::npos) << printed;
  }
};

TEST_P(PlaceLinkFailure, TheOccupantIsNeverLost) {
  if (std::getenv(INJECTED) == nullptr) {
    rerun_under_injector();
    return;
  }
  fs::create_symlink("elsewhere", src / "l");
  put(dst / "l", "a user's file", 0);
  KVO_Core::SyncFlags flags;
  flags.symlinks = KVO_Core::SymlinkMode::AsLink;
  KVO_Core::SyncItem const tree(L"links", KVO_Core::SyncItemType::Tree, w(src), w(dst), L"",
                                KVO_Core::Exclusions{}, flags, {});
  run(tree);
  ASSERT_EQ(report.errors.size(), 1u);
  std::wstring const& line = report.errors.front();
  using Utilities::translation::translate;
  EXPECT_EQ(line.rfind(translate("link_create_failed") + w(dst / "l") + L" (", 0), 0u) << line;
  std::wstring const note = L" " + translate("previous_target_kept_as") + w(dst / "l.bak");
  bool const noted = line.size() >= note.size() && line.ends_with(note);
  EXPECT_EQ(noted, GetParam().kept_aside) << line;
  EXPECT_EQ(snapshot(dst), GetParam().after);
  EXPECT_EQ(snapshot(src), (Tree{{"l", "-> elsewhere"}}));

  unsetenv(INJECTED);
  run(tree);
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(snapshot(dst), GetParam().after_next_pass);
}

INSTANTIATE_TEST_SUITE_P(
    Renames, PlaceLinkFailure,
    testing::Values(
        Failure{"FinalRenameFails", "1", false, {{"l", "a user's file"}}, {{"l", "-> elsewhere"}}},
        Failure{"RenameBackFailsToo",
                nullptr,
                true,
                {{"l.bak", "a user's file"}},
                {{"l", "-> elsewhere"}, {"l.bak", "a user's file"}}}),
    [](testing::TestParamInfo<Failure> const& info) { return std::string(info.param.name); });

}  // namespace
