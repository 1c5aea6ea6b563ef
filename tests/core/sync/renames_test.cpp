// Renames on a two-way item whatever the listing order: the new name met before or after the
// old one gives the same single rename; a name that appeared meanwhile is never replaced.
#include "core/sync/SyncFile.h"
#include "dirs_fixture.h"

namespace {

using namespace dirs_test;
using Utilities::LogLevel;

class Renames : public DirItem, public testing::WithParamInterface<bool> {
 protected:
  KVO_Core::SyncItem two_way() const {
    KVO_Core::SyncFlags flags;
    flags.twoWaySync = true;
    return item(flags);
  }
  void walk(std::vector<std::wstring> names) {
    KVO_Core::SyncReportGuard guard(&report);
    OrderedWalk(two_way(), count, false, &state, std::move(names))();
    state.forget_unseen();
  }

  KVO_Core::SyncState state{w(src), w(dst)};
};

TEST_P(Renames, SourceRenameBecomesOneTargetRenameInEitherOrder) {
  bool const new_first = GetParam();
  put(src / "a.txt", "alpha", 0);
  put(src / "b.txt", "other content", 0);
  walk({L"a.txt", L"b.txt"});
  ASSERT_EQ(files_in(dst).size(), 2u);
  fs::rename(src / "a.txt", src / "c.txt");
  LogLines log;
  walk(new_first ? std::vector<std::wstring>{L"c.txt", L"a.txt", L"b.txt"}
                 : std::vector<std::wstring>{L"a.txt", L"b.txt", L"c.txt"});
  EXPECT_EQ(files_in(dst), (Files{{"b.txt", "other content"}, {"c.txt", "alpha"}}));
  EXPECT_EQ(log.count(LogLevel::Info, "renamed_in_target"), 1u);
  EXPECT_EQ(log.count(LogLevel::Info, "target_deleted_source_missing"), 0u);
  EXPECT_EQ(log.count(LogLevel::Info, "copied_source_to_target"), 0u);
  EXPECT_EQ(state.find(L"a.txt"), nullptr);
  ASSERT_NE(state.find(L"c.txt"), nullptr);
  EXPECT_TRUE(report.errors.empty());
}

TEST_P(Renames, TargetRenameBecomesOneSourceRenameInEitherOrder) {
  bool const new_first = GetParam();
  put(src / "a.txt", "alpha", 0);
  walk({L"a.txt"});
  fs::rename(dst / "a.txt", dst / "z.txt");
  LogLines log;
  walk(new_first ? std::vector<std::wstring>{L"z.txt", L"a.txt"}
                 : std::vector<std::wstring>{L"a.txt", L"z.txt"});
  EXPECT_EQ(files_in(src), (Files{{"z.txt", "alpha"}}));
  EXPECT_EQ(files_in(dst), (Files{{"z.txt", "alpha"}}));
  EXPECT_EQ(log.count(LogLevel::Info, "renamed_in_source"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Orders, Renames, testing::Bool(),
                         [](auto const& info) { return info.param ? "NewFirst" : "OldFirst"; });

TEST_F(DirItem, NoRenameWhenTwoOldNamesFitOrTheOldOneChanged) {
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = true;
  put(src / "a.txt", "same", 0);
  put(src / "b.txt", "same", 0);
  put(src / "d.txt", "dddd!", 0);
  run(item(flags));
  fs::rename(src / "a.txt", src / "a2.txt");
  fs::remove(src / "b.txt");
  fs::rename(src / "d.txt", src / "d2.txt");
  put(dst / "d.txt", "DDDD!", 500);  // changed on the other side: no rename of it
  LogLines log;
  run(item(flags));
  EXPECT_EQ(log.count(LogLevel::Info, "renamed_in_target"), 0u);
  EXPECT_EQ(files_in(dst).count("a2.txt"), 1u);
  EXPECT_EQ(files_in(dst).count("b.txt"), 0u);
  EXPECT_EQ(files_in(dst).count("d2.txt"), 1u);
}

TEST_F(DirItem, RenameNeverReplacesAFileAtTheNewName) {
  put(src / "old.txt", "old", 0);
  put(src / "new.txt", "appeared", 0);
  std::uint64_t n = 0;
  KVO_Core::SyncFile job(item({}), n, false, false, nullptr, L"", L"");
  KVO_Core::SyncReportGuard guard(&report);
  EXPECT_FALSE(job.rename_path(w(src / "old.txt"), w(src / "new.txt"), true));
  EXPECT_EQ(test_support::read_file(src / "old.txt"), "old");
  EXPECT_EQ(test_support::read_file(src / "new.txt"), "appeared");
  EXPECT_TRUE(job.rename_path(w(src / "old.txt"), w(src / "sub/moved.txt"), true));
  EXPECT_EQ(test_support::read_file(src / "sub/moved.txt"), "old");
}

// A file replaced by another of the same size and time looks like a rename by size and time;
// on local sides only one whose content is the old file's is renamed, the rest is copied.
TEST_F(DirItem, RenameByMetadataOnlyWhenTheContentIsTheOldFiles) {
  struct Case {
    char const* name;
    bool on_source;
    std::set<KVO_Core::CompareItem> items;
    std::string new_content;
    bool renamed;
  };
  using KVO_Core::CompareItem;
  for (Case const& c : std::vector<Case>{
           {"other content, size and time, source",
            true,
            {CompareItem::Size, CompareItem::Time},
            "bravo",
            false},
           {"other content, size and time, target",
            false,
            {CompareItem::Size, CompareItem::Time},
            "bravo",
            false},
           {"other content, content test, source", true, {CompareItem::Content}, "bravo", false},
           {"same content, size and time, source",
            true,
            {CompareItem::Size, CompareItem::Time},
            "alpha",
            true},
           {"same content, content test, target", false, {CompareItem::Content}, "alpha", true},
       }) {
    SCOPED_TRACE(c.name);
    fs::remove_all(src);
    fs::remove_all(dst);
    fs::remove_all(state_file);
    fs::create_directories(src);
    fs::create_directories(dst);
    KVO_Core::SyncFlags flags;
    flags.twoWaySync = true;
    KVO_Core::CompareItems items;
    items.items = c.items;
    KVO_Core::SyncItem const it(L"dirs", KVO_Core::SyncItemType::Directory, w(src), w(dst), L"",
                                KVO_Core::Exclusions{}, flags, items);
    put(src / "a.txt", "alpha", 0);
    run(it);
    ASSERT_EQ(files_in(dst), (Files{{"a.txt", "alpha"}}));

    fs::path const side = c.on_source ? src : dst;
    fs::remove(side / "a.txt");
    put(side / "b.txt", c.new_content, 0);
    LogLines log;
    run(it);
    run(it);
    Files const expected{{"b.txt", c.new_content}};
    EXPECT_EQ(files_in(src), expected);
    EXPECT_EQ(files_in(dst), expected);
    EXPECT_EQ(log.count(LogLevel::Info, "renamed_in_"), c.renamed ? 1u : 0u);
    EXPECT_TRUE(report.errors.empty());
  }
}

}  // namespace
