#include <gtest/gtest.h>

#include "core/config/Config.h"
#include "core/versions/BinCleanup.h"
#include "core/versions/BinNames.h"
#include "core/versions/DeleteOrRecycle.h"
#include "core/versions/RecycleBin.h"
#include "utilities/Paths.h"
#include "versions_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace KVO_Core;
using namespace std::chrono;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

class DeleteAndExpiry : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_root_ = bin().bin_path();
    saved_settings_ = Config::instance()->settings.get();
    bin().bin_path(root());
  }
  void TearDown() override {
    bin().bin_path(saved_root_);
    Config::instance()->settings.set(saved_settings_);
  }
  static KVO_Core::RecycleBin& bin() { return KVO_Core::RecycleBin::instance(); }
  fs::path root() const { return dir_.path() / "bin"; }
  void settings(DeleteMode mode, std::uint16_t days) {
    auto s = saved_settings_;
    s.DeleteMode = mode;
    s.RecycleBinDays = days;
    Config::instance()->settings.set(s);
  }
  // The bin-relative name of a file of the temp folder deleted at when.
  fs::path binned(std::string const& name, system_clock::time_point when) const {
    return restore::stamped_name(dir_.path() / name, when);
  }

  TempDir dir_;
  fs::path saved_root_;
  Settings saved_settings_;
};

TEST_F(DeleteAndExpiry, PermanentModeRemoves) {
  settings(DeleteMode::Permanent, 30);
  write_file(dir_ / "a.txt", "a");
  EXPECT_EQ(delete_refusal(Utilities::from_path(dir_ / "a.txt")), 0);
  EXPECT_FALSE(fs::exists(dir_ / "a.txt"));
  EXPECT_FALSE(fs::exists(root()));
  EXPECT_EQ(delete_refusal(Utilities::from_path(dir_ / "a.txt")), 1);
}

TEST_F(DeleteAndExpiry, RecycleBinModeStampsAndBumpsTakenNames) {
  settings(DeleteMode::RecycleBin, 0);
  write_file(dir_ / "sub/a.txt", "live");
  ASSERT_EQ(delete_refusal(Utilities::from_path(dir_ / "sub/a.txt")), 0);
  EXPECT_FALSE(fs::exists(dir_ / "sub/a.txt"));
  auto items = bin().list_items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].parent_path(), (dir_.path() / "sub").relative_path());
  EXPECT_TRUE(restore::deleted_at(items[0]));
  EXPECT_EQ(read_file(root() / items[0]), "live");
  EXPECT_EQ(delete_refusal(Utilities::from_path(dir_ / "sub/a.txt")), 1);

  // Two deletions of one path within the same millisecond: the second goes 1 ms later.
  auto when = system_clock::from_time_t(1714557723) + milliseconds(999);
  write_file(dir_ / "b.txt", "one");
  ASSERT_EQ(recycle_refusal(dir_ / "b.txt", when), 0);
  write_file(dir_ / "b.txt", "two");
  ASSERT_EQ(recycle_refusal(dir_ / "b.txt", when), 0);
  EXPECT_EQ(read_file(root() / binned("b.txt", when)), "one");
  EXPECT_EQ(read_file(root() / binned("b.txt", when + milliseconds(1))), "two");
  EXPECT_EQ(binned("b.txt", when + milliseconds(1)).filename().string().substr(17, 6), "04-000")
      << "the bump carries into the seconds";
}

TEST_F(DeleteAndExpiry, ExpiryRemovesExactlyTheOldItems) {
  auto now = time_point_cast<milliseconds>(system_clock::now());
  auto old = now - days(30);
  auto young = now - days(30) + hours(1);
  write_file(root() / binned("d/old.txt", old), "");
  write_file(root() / binned("d/young.txt", young), "");
  write_file(root() / "foreign/unstamped.txt", "");
  write_file(root() / "gone/deep/x" / binned("f.txt", old).filename(), "");
  // A link in the bin to a folder outside holds old-looking names: never entered.
  write_file(dir_ / "outside" / binned("keep.txt", old).filename(), "");
  fs::create_directories(root() / "links");
  fs::create_directory_symlink(dir_.path() / "outside", root() / "links/out");

  EXPECT_EQ(bin_cleanup::remove_older_than(30, now), 2u);
  EXPECT_FALSE(fs::exists(root() / binned("d/old.txt", old)));
  EXPECT_TRUE(fs::exists(root() / binned("d/young.txt", young)));
  EXPECT_TRUE(fs::exists(root() / "foreign/unstamped.txt"));
  EXPECT_FALSE(fs::exists(root() / "gone"));  // emptied folders go
  EXPECT_TRUE(fs::is_directory(root()));
  EXPECT_EQ(versions_test::names_in(dir_ / "outside").size(), 1u);
  EXPECT_TRUE(fs::is_symlink(root() / "links/out"));
}

TEST_F(DeleteAndExpiry, GateOpensAtOnceThenHourly) {
  bin_cleanup::ExpiryGate gate;
  auto t0 = steady_clock::time_point(hours(5));
  EXPECT_TRUE(gate.take(t0));
  EXPECT_FALSE(gate.take(t0 + minutes(30)));
  EXPECT_FALSE(gate.take(t0 + hours(1) - nanoseconds(1)));
  EXPECT_TRUE(gate.take(t0 + hours(1)));
  EXPECT_FALSE(gate.take(t0 + hours(1) + seconds(1)));
}

TEST_F(DeleteAndExpiry, RunIfDueOnlyInRecycleBinModeWithDays) {
  auto now = time_point_cast<milliseconds>(system_clock::now());
  auto t0 = steady_clock::time_point(hours(5));
  write_file(root() / binned("a.txt", now - days(3)), "");
  bin_cleanup::ExpiryGate gate;

  settings(DeleteMode::Permanent, 2);
  bin_cleanup::run_if_due(gate, t0, now);
  settings(DeleteMode::RecycleBin, 0);
  bin_cleanup::run_if_due(gate, t0, now);
  EXPECT_EQ(bin().list_items().size(), 1u);

  settings(DeleteMode::RecycleBin, 2);
  bin_cleanup::run_if_due(gate, t0, now);  // the gate was left untouched: first pass at once
  EXPECT_TRUE(bin().list_items().empty());

  write_file(root() / binned("b.txt", now - days(3)), "");
  bin_cleanup::run_if_due(gate, t0 + minutes(59), now);
  EXPECT_EQ(bin().list_items().size(), 1u);
  bin_cleanup::run_if_due(gate, t0 + minutes(61), now);
  EXPECT_TRUE(bin().list_items().empty());
}

}  // namespace
