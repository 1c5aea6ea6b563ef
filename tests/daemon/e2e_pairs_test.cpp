// The running service on pairs that once went wrong in use: a target within the time tolerance
// but of another size, names holding a backslash, a file replaced by another of the same size
// and time, a folder renamed while the service was stopped, and staging files left by a kill.
#include "service_fixture.h"

namespace {

using namespace service_test;

// Compare items of size and time only; closes the item's "syncflags" and adds its own member.
std::string const SIZE_AND_TIME =
    R"(}, "compareitems": {"size": "true", "time": "true", "content": "false")";

// The file's time set to another file's plus an offset.
void time_like(fs::path const& file, fs::path const& model, std::chrono::milliseconds offset) {
  fs::last_write_time(file, fs::last_write_time(model) + offset);
}

class ServicePairs : public Service {
 protected:
  fs::path src() const { return files / "src/item"; }
  fs::path dst() const { return files / "dst/item"; }

  void start_with(Item const& it) {
    write_config(config_json({it}));
    start();
  }

  // Lets the one-second cycle run a few passes more.
  static void a_few_passes() { std::this_thread::sleep_for(4s); }
};

TEST_F(ServicePairs, OneWayCopiesASourceOfAnotherSizeWithinTheTolerance) {
  test_support::write_file(src() / "f.txt", "alpha\n");
  Item it = item("stale", src(), dst(), false, SIZE_AND_TIME);
  it.type = "Verzeichnis";
  start_with(it);
  ASSERT_TRUE(eventually([&] { return test_support::read_file(dst() / "f.txt") == "alpha\n"; }))
      << log();
  test_support::write_file(src() / "f.txt", "v2\n");
  time_like(src() / "f.txt", dst() / "f.txt", 500ms);
  EXPECT_TRUE(eventually([&] { return test_support::read_file(dst() / "f.txt") == "v2\n"; }))
      << log();
  EXPECT_EQ(log_count("Target is newer"), 0u) << log();
}

TEST_F(ServicePairs, TwoWayWithoutStateKeepsBothFilesOfAnotherSizeWithinTheTolerance) {
  test_support::write_file(src() / "f.txt", "v2\n");
  test_support::write_file(dst() / "f.txt", "alpha\n");
  time_like(dst() / "f.txt", src() / "f.txt", 500ms);
  Item it = item("conflict", src(), dst(), true, SIZE_AND_TIME);
  it.type = "Verzeichnis";
  start_with(it);
  auto const holds_both = [](fs::path const& folder) {
    std::size_t found = 0;
    for (std::string const& name : names_in(folder)) {
      std::string const content = test_support::read_file(folder / name);
      if (content == "v2\n" || content == "alpha\n") ++found;
    }
    return found;
  };
  EXPECT_TRUE(eventually([&] { return holds_both(src()) == 2 && holds_both(dst()) == 2; }))
      << log();
  a_few_passes();
  EXPECT_EQ(holds_both(src()), 2u) << log();
  EXPECT_EQ(holds_both(dst()), 2u) << log();
}

TEST_F(ServicePairs, BackslashIsACharacterOfTheName) {
  fs::path const one_src = files / "src/one";
  fs::path const one_dst = files / "dst/one";
  test_support::write_file(one_src / "back\\slash.txt", "b");
  test_support::write_file(src() / "x/y.txt", "in the folder");
  test_support::write_file(src() / "x\\y.txt", "one name");
  write_config(config_json(
      {tree_item("oneway", one_src, one_dst, false), tree_item("twoway", src(), dst(), true)}));
  start();
  std::map<std::string, std::string> const one{{"back\\slash.txt", "b"}};
  std::map<std::string, std::string> const two{
      {"x", "/"}, {"x/y.txt", "in the folder"}, {"x\\y.txt", "one name"}};
  ASSERT_TRUE(eventually([&] { return tree_of(one_dst) == one && tree_of(dst()) == two; }))
      << log();
  a_few_passes();
  EXPECT_EQ(tree_of(one_dst), one);
  EXPECT_EQ(tree_of(src()), two);
  EXPECT_EQ(tree_of(dst()), two);
  EXPECT_EQ(log_count("deleted in the target"), 0u) << log();
}

TEST_F(ServicePairs, FileReplacedByAnotherOfTheSameSizeAndTimeIsCopied) {
  test_support::write_file(src() / "a.txt", "alpha");
  Item it = item("swap", src(), dst(), true, SIZE_AND_TIME);
  it.type = "Verzeichnis";
  start_with(it);
  ASSERT_TRUE(eventually([&] { return test_support::read_file(dst() / "a.txt") == "alpha"; }))
      << log();
  std::this_thread::sleep_for(2s);  // the pass that copied it has recorded the pair
  test_support::write_file(src() / "b.txt", "bravo");
  time_like(src() / "b.txt", src() / "a.txt", 0ms);
  fs::remove(src() / "a.txt");
  std::map<std::string, std::string> const expected{{"b.txt", "bravo"}};
  EXPECT_TRUE(eventually([&] { return tree_of(dst()) == expected; })) << log();
  a_few_passes();
  EXPECT_EQ(tree_of(src()), expected);
  EXPECT_EQ(tree_of(dst()), expected);
  EXPECT_EQ(log_count("Renamed in the target"), 0u) << log();
}

TEST_F(ServicePairs, FolderRenamedWhileStoppedIsNotBroughtBack) {
  // Sizes of their own, so that the files are renamed rather than copied and deleted.
  test_support::write_file(src() / "old/a.txt", "a");
  test_support::write_file(src() / "old/deep/b.txt", "bbbb");
  test_support::write_file(src() / "keep.txt", "kk");
  Item const it = tree_item("renamed", src(), dst(), true);
  start_with(it);
  ASSERT_TRUE(eventually([&] { return tree_of(dst()) == tree_of(src()); })) << log();
  std::this_thread::sleep_for(2s);
  ASSERT_EQ(terminate(), 0);
  fs::rename(src() / "old", src() / "new");
  start();
  std::map<std::string, std::string> const expected{{"keep.txt", "kk"},
                                                    {"new", "/"},
                                                    {"new/a.txt", "a"},
                                                    {"new/deep", "/"},
                                                    {"new/deep/b.txt", "bbbb"}};
  EXPECT_TRUE(eventually([&] { return tree_of(dst()) == expected; })) << log();
  a_few_passes();
  EXPECT_EQ(tree_of(src()), expected);
  EXPECT_EQ(tree_of(dst()), expected);
  EXPECT_GE(log_count("Renamed in the target"), 1u) << log();
}

TEST_F(ServicePairs, StagingLeftoversOfAKillAreRemoved) {
  test_support::write_file(src() / "keep.txt", "k");
  test_support::write_file(src() / "d/f.txt", "f");
  Item const it = tree_item("leftovers", src(), dst(), true);
  start_with(it);
  ASSERT_TRUE(eventually([&] { return tree_of(dst()) == tree_of(src()); })) << log();
  std::this_thread::sleep_for(2s);
  // What a copy killed mid-way leaves behind, on either side; the folder d is deleted by the
  // user meanwhile.
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
  test_support::write_file(dst() / "d/gone.txt.kvo-part", "half");
  test_support::write_file(dst() / "top.txt.kvo-part", "half");
  test_support::write_file(src() / "back.txt.kvo-part", "half");
  fs::remove_all(src() / "d");
  start();
  std::map<std::string, std::string> const expected{{"keep.txt", "k"}};
  EXPECT_TRUE(eventually([&] { return tree_of(src()) == expected && tree_of(dst()) == expected; }))
      << log();
  a_few_passes();
  EXPECT_EQ(tree_of(src()), expected);
  EXPECT_EQ(tree_of(dst()), expected);
}

TEST_F(ServicePairs, StagingFileOfACopyKilledMidwayGoesWhenThePairResolvesAnotherWay) {
  write_large_file(src() / "big.bin", 300);
  test_support::write_file(src() / "keep.txt", "k");
  test_support::write_file(dst() / "keep.txt", "k");
  time_like(dst() / "keep.txt", src() / "keep.txt", 0ms);
  start_with(tree_item("killed", src(), dst(), true));
  ASSERT_NO_FATAL_FAILURE(halt_when_copying(dst(), 1));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
  ASSERT_EQ(names_in(dst()), (std::vector<std::string>{"big.bin.kvo-part", "keep.txt"}));
  fs::rename(src() / "big.bin", src() / "moved.bin");
  start();
  std::vector<std::string> const expected{"keep.txt", "moved.bin"};
  EXPECT_TRUE(eventually([&] { return names_in(dst()) == expected; }, 60s)) << log();
  EXPECT_EQ(names_in(src()), expected);
  EXPECT_TRUE(same_content(dst() / "moved.bin", src() / "moved.bin"));
}

}  // namespace
