// The running service mirrors one way with deletions in RecycleBin mode: a file deleted at the
// source goes into the bin under a stamped name, and the first pass expires the stamped items
// that are at least RecycleBinDays old while fresh and unstamped ones stay.
#include <optional>

#include "core/versions/BinNames.h"
#include "service_fixture.h"

namespace {

using namespace service_test;
using std::chrono::system_clock;

class E2eRecycleBin : public Service {
 protected:
  fs::path bin() const { return files.path() / "bin"; }

  fs::path source() const { return files.path() / "src/mirror"; }
  fs::path target() const { return files.path() / "dst/mirror"; }

  // Starts the service with one one-way directory item from source to target that carries
  // deletions over, in RecycleBin mode with the bin in the test's folder.
  void start_mirror(int days) {
    fs::create_directories(target());
    Item mirror = item("mirror", source(), target(), false, R"(, "syncDeletions": "true")");
    mirror.type = "Verzeichnis";
    std::string const text = config_json({mirror});
    write_config(R"({"Settings": {"StartMinimzed": "false", "MinimizeInsteadOfClose": "false",
  "Autostart": "false", "StartSyncAtStart": "true", "Language": "en",
  "DeleteMode": "RecycleBin", "RecycleBinPath": ")" +
                 json_text(bin().string()) + R"(", "RecycleBinDays": ")" + std::to_string(days) +
                 "\"}," + text.substr(text.find('\n')));
    start();
  }

  // A bin item for a file once at `origin`, deleted at `when`.
  fs::path put_in_bin(fs::path const& origin, system_clock::time_point when,
                      std::string const& content) {
    fs::path const item = bin() / KVO_Core::restore::stamped_name(origin, when);
    test_support::write_file(item, content);
    return item;
  }

  // The stamped bin items of files that were in `folder` under the name `name`.
  std::vector<fs::path> binned(fs::path const& folder, std::string const& name) const {
    std::vector<fs::path> found;
    fs::path const place = bin() / folder.relative_path();
    std::error_code ec;
    for (auto const& entry : fs::directory_iterator(place, ec)) {
      auto const stamp = KVO_Core::restore::stamped(entry.path().filename().string());
      if (stamp && stamp->second == name) found.push_back(entry.path());
    }
    return found;
  }
};

TEST_F(E2eRecycleBin, DeletedFilesGoToTheBinAndOldItemsExpireAtTheFirstPass) {
  auto const now = system_clock::now();
  auto const days = [](int n) { return std::chrono::hours(24 * n); };
  fs::path const old_item = put_in_bin("/gone/place/old.txt", now - days(10), "old");
  fs::path const lone_item = put_in_bin("/elsewhere/deep/lone.txt", now - days(8), "lone");
  fs::path const fresh_item = put_in_bin("/gone/place/fresh.txt", now - days(6), "fresh");
  test_support::write_file(bin() / "foreign/unstamped.txt", "not ours");

  fs::path const source = this->source();
  fs::path const target = this->target();
  test_support::write_file(source / "keep.txt", "kept");
  test_support::write_file(source / "doomed.txt", "deleted at the source");
  test_support::write_file(source / "other.txt", "also kept");
  start_mirror(7);

  ASSERT_TRUE(eventually(
      [&] { return test_support::read_file(target / "doomed.txt") == "deleted at the source"; },
      60s))
      << log();
  EXPECT_TRUE(eventually([&] { return !fs::exists(old_item) && !fs::exists(lone_item); }, 60s))
      << log();
  EXPECT_TRUE(
      eventually([&] { return log_count("items older than 7 days were removed") >= 1; }, 60s))
      << log();
  EXPECT_FALSE(fs::exists(bin() / "elsewhere")) << "emptied folders go";
  EXPECT_EQ(test_support::read_file(fresh_item), "fresh");
  EXPECT_EQ(test_support::read_file(bin() / "foreign/unstamped.txt"), "not ours");
  EXPECT_TRUE(fs::is_directory(bin()));

  fs::remove(source / "doomed.txt");
  EXPECT_TRUE(eventually([&] { return !fs::exists(target / "doomed.txt"); }, 60s)) << log();
  std::vector<fs::path> const moved = binned(target, "doomed.txt");
  ASSERT_EQ(moved.size(), 1u) << log();
  EXPECT_EQ(test_support::read_file(moved[0]), "deleted at the source");
  // Its stamp is the time of the deletion, so it does not count as old.
  auto const deleted = KVO_Core::restore::deleted_at(moved[0].lexically_relative(bin()));
  ASSERT_TRUE(deleted.has_value());
  EXPECT_GT(*deleted, std::chrono::time_point_cast<std::chrono::microseconds>(now - days(1)));

  EXPECT_EQ(test_support::read_file(target / "keep.txt"), "kept");
  EXPECT_EQ(test_support::read_file(target / "other.txt"), "also kept");
  EXPECT_EQ(test_support::read_file(fresh_item), "fresh");
  EXPECT_EQ(terminate(10s), 0);
}

// Without RecycleBinDays nothing in the bin expires, however old, while deletions still land there.
TEST_F(E2eRecycleBin, NoExpiryWithoutDays) {
  fs::path const ancient =
      put_in_bin("/gone/ancient.txt", system_clock::now() - std::chrono::hours(24 * 4000), "a");
  fs::path const source = this->source();
  fs::path const target = this->target();
  test_support::write_file(source / "keep.txt", "kept");
  test_support::write_file(source / "doomed.txt", "doomed");
  start_mirror(0);

  ASSERT_TRUE(eventually([&] { return fs::exists(target / "doomed.txt"); }, 60s)) << log();
  fs::remove(source / "doomed.txt");
  ASSERT_TRUE(eventually([&] { return !fs::exists(target / "doomed.txt"); }, 60s)) << log();
  EXPECT_EQ(binned(target, "doomed.txt").size(), 1u);
  EXPECT_EQ(test_support::read_file(ancient), "a");
  EXPECT_EQ(log_count("were removed from the recycle bin"), 0u) << log();
  EXPECT_EQ(terminate(10s), 0);
}

}  // namespace
