// Tree items end to end: a first pass puts both sides in step, a change is made, the next pass
// must give the expected trees on both sides, and one more pass must change nothing.
#include <sys/resource.h>

#include <functional>

#include "tree_fixture.h"

namespace {

using namespace tree_test;

struct Scenario {
  char const* name;
  bool two_way;
  bool deletions;
  std::wstring wildcard;
  std::vector<std::wstring> exclusions;
  Tree before;  // written into the source before the first pass
  std::function<void(fs::path const& src, fs::path const& dst)> change;
  Tree src_after;
  Tree dst_after;
};

void put_tree(fs::path const& root, Tree const& tree) {
  for (auto const& [path, content] : tree) {
    if (content == "/")
      fs::create_directories(root / path);
    else
      put(root / path, content, 0);
  }
}

Tree const DEEP{{"a", "/"}, {"a/b", "/"}, {"a/b/f.txt", "eff"}, {"g.txt", "gee"}};

std::vector<Scenario> const SCENARIOS = {
    {"one_way_creates_missing_folders",
     false,
     false,
     L"",
     {},
     DEEP,
     [](auto s, auto) { put(s / "a/b/c/d/new.txt", "new", 0); },
     {{"a", "/"},
      {"a/b", "/"},
      {"a/b/c", "/"},
      {"a/b/c/d", "/"},
      {"a/b/c/d/new.txt", "new"},
      {"a/b/f.txt", "eff"},
      {"g.txt", "gee"}},
     {{"a", "/"},
      {"a/b", "/"},
      {"a/b/c", "/"},
      {"a/b/c/d", "/"},
      {"a/b/c/d/new.txt", "new"},
      {"a/b/f.txt", "eff"},
      {"g.txt", "gee"}}},
    {"one_way_never_visits_target_only_folders",
     false,
     false,
     L"",
     {},
     DEEP,
     [](auto, auto d) { put(d / "extra/x.txt", "x", 0); },
     DEEP,
     {{"a", "/"},
      {"a/b", "/"},
      {"a/b/f.txt", "eff"},
      {"g.txt", "gee"},
      {"extra", "/"},
      {"extra/x.txt", "x"}}},
    {"mirror_leaves_target_only_folders",
     false,
     true,
     L"",
     {},
     DEEP,
     [](auto s, auto) { fs::remove_all(s / "a"); },
     {{"g.txt", "gee"}},
     DEEP},
    {"two_way_source_new",
     true,
     false,
     L"",
     {},
     DEEP,
     [](auto s, auto) { put(s / "n/m/x.txt", "x", 0); },
     {{"a", "/"},
      {"a/b", "/"},
      {"a/b/f.txt", "eff"},
      {"g.txt", "gee"},
      {"n", "/"},
      {"n/m", "/"},
      {"n/m/x.txt", "x"}},
     {{"a", "/"},
      {"a/b", "/"},
      {"a/b/f.txt", "eff"},
      {"g.txt", "gee"},
      {"n", "/"},
      {"n/m", "/"},
      {"n/m/x.txt", "x"}}},
    {"two_way_target_new",
     true,
     false,
     L"",
     {},
     DEEP,
     [](auto, auto d) { put(d / "t/u/y.txt", "y", 0); },
     {{"a", "/"},
      {"a/b", "/"},
      {"a/b/f.txt", "eff"},
      {"g.txt", "gee"},
      {"t", "/"},
      {"t/u", "/"},
      {"t/u/y.txt", "y"}},
     {{"a", "/"},
      {"a/b", "/"},
      {"a/b/f.txt", "eff"},
      {"g.txt", "gee"},
      {"t", "/"},
      {"t/u", "/"},
      {"t/u/y.txt", "y"}}},
    {"two_way_deleted_in_source",
     true,
     false,
     L"",
     {},
     DEEP,
     [](auto s, auto) { fs::remove_all(s / "a"); },
     {{"g.txt", "gee"}},
     {{"g.txt", "gee"}}},
    {"two_way_deleted_in_target",
     true,
     false,
     L"",
     {},
     DEEP,
     [](auto, auto d) { fs::remove_all(d / "a"); },
     {{"g.txt", "gee"}},
     {{"g.txt", "gee"}}},
    {"two_way_deleted_folder_keeps_a_new_file",
     true,
     false,
     L"",
     {},
     DEEP,
     [](auto s, auto d) {
       fs::remove_all(d / "a");
       put(s / "a/b/late.txt", "late", 0);
     },
     {{"a", "/"}, {"a/b", "/"}, {"a/b/late.txt", "late"}, {"g.txt", "gee"}},
     {{"a", "/"}, {"a/b", "/"}, {"a/b/late.txt", "late"}, {"g.txt", "gee"}}},
    {"exclusions_skip_folders",
     false,
     false,
     L"",
     {L"cache"},
     {{"cache", "/"}, {"cache/c.txt", "c"}, {"keep", "/"}, {"keep/k.txt", "k"}},
     [](auto, auto) {},
     {{"cache", "/"}, {"cache/c.txt", "c"}, {"keep", "/"}, {"keep/k.txt", "k"}},
     {{"keep", "/"}, {"keep/k.txt", "k"}}},
    {"wildcard_filters_files_only",
     false,
     false,
     L"*.txt",
     {},
     {{"d", "/"}, {"d/x.txt", "x"}, {"d/y.dat", "y"}, {"z.dat", "z"}},
     [](auto, auto) {},
     {{"d", "/"}, {"d/x.txt", "x"}, {"d/y.dat", "y"}, {"z.dat", "z"}},
     {{"d", "/"}, {"d/x.txt", "x"}}},
};

class TreeScenario : public TreeItem, public testing::WithParamInterface<Scenario> {};

TEST_P(TreeScenario, TwoPassesThenNothingChanges) {
  Scenario const& s = GetParam();
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = s.two_way;
  flags.syncDeletions = s.deletions;
  KVO_Core::SyncItem const it = item(flags, s.wildcard, s.exclusions);
  put_tree(src, s.before);
  EXPECT_TRUE(run(it).ran);
  EXPECT_TRUE(report.errors.empty()) << Utilities::util::wstring_to_string(report.errors.front());
  s.change(src, dst);
  run(it);
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(snapshot(src), s.src_after);
  EXPECT_EQ(snapshot(dst), s.dst_after);
  run(it);
  EXPECT_EQ(snapshot(src), s.src_after);
  EXPECT_EQ(snapshot(dst), s.dst_after);
}

INSTANTIATE_TEST_SUITE_P(Tree, TreeScenario, testing::ValuesIn(SCENARIOS),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(TreeItem, TargetInsideSourceIsRefusedWithNothingTouched) {
  put(src / "f.txt", "f", 0);
  fs::path const inner = src / "mirror";
  KVO_Core::SyncFlags flags;
  flags.syncDeletions = true;
  KVO_Core::SyncItem const it(L"inside", KVO_Core::SyncItemType::Tree, w(src), w(inner), L"",
                              KVO_Core::Exclusions{}, flags, {});
  Tree const before = snapshot(dir.path());
  EXPECT_FALSE(run(it).ran);
  EXPECT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(snapshot(dir.path()), before);
  // Equal roots too, spelled differently.
  KVO_Core::SyncItem const same(L"same", KVO_Core::SyncItemType::Tree, w(src), w(src) + L"/.", L"",
                                KVO_Core::Exclusions{}, flags, {});
  EXPECT_FALSE(run(same).ran);
  EXPECT_EQ(snapshot(dir.path()), before);
}

TEST_F(TreeItem, TargetLinkWhereAFolderBelongsIsNeverEntered) {
  fs::path const outside = dir / "outside";
  put(outside / "o.txt", "outside", 0);
  put(src / "sub/x.txt", "x", 0);
  fs::create_directory_symlink(outside, dst / "sub");
  for (bool two_way : {false, true}) {
    KVO_Core::SyncFlags flags;
    flags.twoWaySync = two_way;
    run(item(flags));
    EXPECT_EQ(snapshot(outside), (Tree{{"o.txt", "outside"}}));
    EXPECT_EQ(snapshot(src / "sub"), (Tree{{"x.txt", "x"}}));
    EXPECT_TRUE(fs::is_symlink(dst / "sub"));
    EXPECT_EQ(report.errors.size(), 1u);
  }
  // An item that removes extra target entries replaces the link with a real folder.
  KVO_Core::SyncFlags mirror;
  mirror.syncDeletions = true;
  run(item(mirror));
  EXPECT_EQ(snapshot(outside), (Tree{{"o.txt", "outside"}}));
  EXPECT_FALSE(fs::is_symlink(dst / "sub"));
  EXPECT_EQ(snapshot(dst), (Tree{{"sub", "/"}, {"sub/x.txt", "x"}}));
}

TEST_F(TreeItem, TwoWayRootEmptiedWhileStateKnowsEntriesIsRefused) {
  put_tree(src, DEEP);
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  run(item(flags));
  ASSERT_EQ(snapshot(dst), DEEP);
  fs::remove_all(dst);
  fs::create_directory(dst);  // an unmounted volume's empty mount point
  run(item(flags));
  EXPECT_FALSE(report.errors.empty());
  EXPECT_EQ(snapshot(src), DEEP);
}

TEST_F(TreeItem, StopDuringDeepWalkQueuesNoRemovals) {
  put_tree(src, DEEP);
  put(src / "z/zz.txt", "zz", 0);
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  run(item(flags));
  fs::remove_all(dst / "a");  // the source's "a" would be removed at the end of a full pass
  fs::remove_all(dst / "z");
  put(src / "a/b/c/d/e/big.bin", std::string(1 << 20, 'b'), 0);
  put(src / "z/more.bin", std::string(1 << 20, 'm'), 0);
  RecordingSink sink;
  sink.on_bytes = [this](std::uint64_t) { stop = true; };
  run(item(flags));
  EXPECT_TRUE(fs::exists(src / "a/b/f.txt"));
  EXPECT_TRUE(fs::exists(src / "z/zz.txt"));
  EXPECT_TRUE(fs::exists(src / "g.txt"));
  stop = false;
  sink.on_bytes = {};
  // The next full pass finishes the job: new files are carried, nothing known is lost twice.
  run(item(flags));
  EXPECT_EQ(snapshot(src), snapshot(dst));
}

// The walk holds folders open for the file jobs: a deep tree must not use up the process's
// descriptors, or the copies at its bottom fail.
TEST_F(TreeItem, ADeepTreeSyncsUnderALowDescriptorLimit) {
  std::string path;
  for (int level = 0; level < 80; ++level) {
    path += "d" + std::to_string(level) + "/";
    put(src / (path + "f.txt"), "level " + std::to_string(level), 0);
  }
  int open_now = 0;
  for (auto const& entry : fs::directory_iterator("/proc/self/fd")) open_now += entry.exists();
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(open_now + 40);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  run(item(flags));
  run(item(flags));
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(snapshot(src), snapshot(dst));
}

TEST_F(TreeItem, FileContentModeCopiesFileLinksAndLogsOthers) {
  put(dir / "real.txt", "real", 0);
  fs::create_directories(dir / "realdir");
  fs::create_symlink(dir / "real.txt", src / "file_link");
  fs::create_directory_symlink(dir / "realdir", src / "dir_link");
  fs::create_symlink(dir / "nowhere", src / "dangling");
  LogLines lines;
  run(item(KVO_Core::SyncFlags{}));
  EXPECT_EQ(snapshot(dst), (Tree{{"file_link", "real"}}));
  EXPECT_EQ(lines.count(Utilities::LogLevel::Info, "dir_link"), 1u);
  EXPECT_EQ(lines.count(Utilities::LogLevel::Info, "dangling"), 1u);
}

TEST_F(TreeItem, CountingPassTouchesNothing) {
  put_tree(src, DEEP);
  fs::create_symlink("elsewhere", src / "l");
  put(dst / "t/only.txt", "t", 0);
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  flags.symlinks = KVO_Core::SymlinkMode::AsLink;
  Tree const before_src = snapshot(src);
  Tree const before_dst = snapshot(dst);
  run(item(flags), KVO_Core::SyncType::Count);
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(snapshot(src), before_src);
  EXPECT_EQ(snapshot(dst), before_dst);
  EXPECT_EQ(count, 4u);  // f.txt, g.txt, the link and only.txt
  EXPECT_FALSE(fs::exists(state_file));
}

}  // namespace
