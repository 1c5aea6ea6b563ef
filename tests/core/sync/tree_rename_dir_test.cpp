// A folder renamed on one side of a two-way tree ends up renamed on both sides: the old folder is
// not brought back, empty or full, on the side where it was renamed; whether its files are
// renamed on the other side (sizes that tell them apart) or copied and deleted.
#include <gtest/gtest.h>

#include "tree_fixture.h"

namespace {

using namespace tree_test;

class TreeRenamedFolder : public TreeItem,
                          public testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(TreeRenamedFolder, IsRenamedOnTheOtherSideAndNotRecreated) {
  auto const [on_source, renames] = GetParam();
  std::string const b = renames ? "bbbb" : "b";
  test_support::write_file(src / "old/a.txt", "a");
  test_support::write_file(src / "old/deep/b.txt", b);
  test_support::write_file(src / "keep.txt", "k");
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  auto const it = item(flags);
  run(it);
  ASSERT_EQ(snapshot(src), snapshot(dst));

  fs::path const side = on_source ? src : dst;
  fs::rename(side / "old", side / "new");
  Tree const expected{{"keep.txt", "k"},
                      {"new", "/"},
                      {"new/a.txt", "a"},
                      {"new/deep", "/"},
                      {"new/deep/b.txt", b}};
  for (int pass = 1; pass <= 2; ++pass) {
    run(it);
    EXPECT_EQ(snapshot(src), expected) << "after pass " << pass;
    EXPECT_EQ(snapshot(dst), expected) << "after pass " << pass;
  }
}

INSTANTIATE_TEST_SUITE_P(BothSides, TreeRenamedFolder,
                         testing::Combine(testing::Bool(), testing::Bool()), [](auto const& info) {
                           return std::string(std::get<0>(info.param) ? "Source" : "Target") +
                                  (std::get<1>(info.param) ? "Renames" : "Copies");
                         });

}  // namespace
