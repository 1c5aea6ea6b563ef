// A backslash is an ordinary character of a name on this platform: a name holding one is copied,
// remembered, versioned and given conflict copies under that very name, beside its siblings, and
// never taken for a folder.
#include <functional>

#include "tree_fixture.h"

namespace {

using namespace tree_test;

struct Case {
  char const* name;
  KVO_Core::SyncItemType type;
  std::function<void(KVO_Core::SyncFlags&)> flags;
  Tree source;
  Tree target;
  std::function<void(fs::path const& src, fs::path const& dst)> between;  // after the first pass
  Tree expected_source;
  Tree expected_target;
};

void PrintTo(Case const& c, std::ostream* out) { *out << c.name; }

void one_way(KVO_Core::SyncFlags&) {}
void two_way(KVO_Core::SyncFlags& f) { f.twoWaySync = true; }

// The backup versions of a file keep its folder: the generation lies beside the file.
std::size_t files_named_like(fs::path const& root, std::string const& start) {
  std::size_t n = 0;
  for (auto const& entry : fs::directory_iterator(root))
    if (entry.path().filename().string().rfind(start, 0) == 0) ++n;
  return n;
}

class BackslashNames : public TreeItem, public testing::WithParamInterface<Case> {};

TEST_P(BackslashNames, StayNamesOfTheirFolder) {
  Case const& c = GetParam();
  fill(src, c.source);
  fill(dst, c.target);
  KVO_Core::SyncFlags flags;
  c.flags(flags);
  KVO_Core::SyncItem it = item(flags);
  it.type = c.type;
  run(it);
  if (c.between) c.between(src, dst);
  run(it);
  run(it);
  EXPECT_EQ(snapshot(src), c.expected_source);
  if (!c.expected_target.empty()) {
    EXPECT_EQ(snapshot(dst), c.expected_target);
  } else {
    for (auto const& [name, content] : snapshot(dst)) EXPECT_NE(content, "/") << name;
  }
  EXPECT_TRUE(report.errors.empty());
}

Tree const ONE{{"back\\slash.txt", "b"}};
Tree const BOTH{{"x", "/"}, {"x/y.txt", "folder"}, {"x\\y.txt", "name"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, BackslashNames,
    testing::Values(
        Case{"OneWayTree", KVO_Core::SyncItemType::Tree, one_way, ONE, {}, {}, ONE, ONE},
        Case{"OneWayDirectory", KVO_Core::SyncItemType::Directory, one_way, ONE, {}, {}, ONE, ONE},
        Case{"TwoWayKeepsBothNames",
             KVO_Core::SyncItemType::Tree,
             two_way,
             BOTH,
             {},
             {},
             BOTH,
             BOTH},
        Case{"TwoWayCopiesBack", KVO_Core::SyncItemType::Tree, two_way, {}, ONE, {}, ONE, ONE},
        Case{"TwoWayDeletionGoesByItsOwnName",
             KVO_Core::SyncItemType::Tree,
             two_way,
             Tree{{"x/y.txt", "folder"}, {"x\\y.txt", "name"}},
             {},
             [](fs::path const& s, fs::path const&) { fs::remove(s / "x/y.txt"); },
             Tree{{"x", "/"}, {"x\\y.txt", "name"}},
             Tree{{"x", "/"}, {"x\\y.txt", "name"}}},
        Case{"GenerationBesideTheFile",
             KVO_Core::SyncItemType::Tree,
             [](KVO_Core::SyncFlags& f) { f.fatherSonPrinciple = true; },
             ONE,
             {},
             [](fs::path const& s, fs::path const&) { put(s / "back\\slash.txt", "newer", 100); },
             Tree{{"back\\slash.txt", "newer"}},
             {}}),
    [](auto const& info) { return std::string(info.param.name); });

// What a conflict and a replaced file leave beside the file: a conflict copy on each side, a
// generation in the target.
TEST_F(TreeItem, BackslashNamesGetConflictCopiesAndGenerationsInTheirFolder) {
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  flags.fatherSonPrinciple = true;
  auto const it = item(flags);
  test_support::write_file(src / "back\\slash.txt", "b");
  run(it);
  put(src / "back\\slash.txt", "source side", 100);
  put(dst / "back\\slash.txt", "target side", 200);
  run(it);
  EXPECT_GE(files_named_like(src, "back\\slash"), 2u) << testing::PrintToString(snapshot(src));
  EXPECT_GE(files_named_like(dst, "back\\slash"), 2u) << testing::PrintToString(snapshot(dst));
  for (fs::path const& root : {src, dst})
    for (auto const& [name, content] : snapshot(root)) EXPECT_NE(content, "/") << name;
}

}  // namespace
