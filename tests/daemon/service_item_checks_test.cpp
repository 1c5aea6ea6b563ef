// The checks the running service makes before it runs an item: an unreachable target (reported
// once, recorded, synchronised once it appears), a source folder gone, an encryption it cannot
// honour (refused, no plain copy), a disabled item and a weekly window that does not allow the
// present day.
#include <ctime>

#include "service_fixture.h"

namespace {

using namespace service_test;

TEST_F(Service, UnreachableTargetIsReportedOnceAndSyncedOnceItAppears) {
  // Both targets lack their parents too. One item asks for a warning (the default), the other
  // only for a note in the log, which is no error of its run.
  struct Far {
    char const* name;
    char const* flags;
    char const* level;
    char const* errors;
  };
  std::vector<Far> const far = {{"loud", "", "Warning", "1"},
                                {"quiet", R"(, "warnIfUnreachable": "false")", "Info", "0"}};
  std::vector<Item> items;
  for (Far const& f : far) {
    test_support::write_file(files / "src" / f.name / "sub/a.txt", f.name);
    // A long cycle: an unreachable run is no sync, so the item stays due and runs as soon as
    // its target can be reached, not an hour later.
    items.push_back(tree_item(f.name, files / "src" / f.name, files / "missing/deeper" / f.name,
                              false, f.flags));
    items.back().cycle = "3600";
  }
  write_config(config_json(items));
  start();
  auto const text = [&](Item const& i) {
    return "Source or target not reachable: " + i.source.string() + " -> " + i.target.string();
  };
  ASSERT_TRUE(eventually([&] {
    return fs::exists(status_file("loud")) && fs::exists(status_file("quiet"));
  })) << log();
  for (std::size_t i = 0; i < far.size(); ++i) {
    SCOPED_TRACE(far[i].name);
    auto status = status_of(far[i].name);
    EXPECT_EQ(status["reachable"], "0");
    EXPECT_EQ(status["errors"], far[i].errors);
    EXPECT_EQ(status["first_error"], far[i].errors == std::string("1") ? text(items[i]) : "");
    EXPECT_EQ(status.count("last_success"), 0u) << "never reached";
  }

  // Several passes and the first re-probe of the pairs (2 s after the first): still one line.
  std::this_thread::sleep_for(2500ms);
  for (std::size_t i = 0; i < far.size(); ++i)
    EXPECT_EQ(log_count(std::string(far[i].level) + "\t" + text(items[i]) + "\n"), 1u) << log();
  EXPECT_EQ(lines_at("Warning").size(), 1u) << log();
  EXPECT_FALSE(fs::exists(files / "missing"));

  fs::create_directories(files / "missing/deeper");
  for (Item const& i : items) {
    SCOPED_TRACE(i.name);
    EXPECT_TRUE(eventually([&] { return tree_of(i.target) == tree_of(i.source); }, 20s)) << log();
    auto status = status_of(i.name);
    EXPECT_TRUE(eventually([&] {
      status = status_of(i.name);
      return status["reachable"] == "1";
    }));
    EXPECT_EQ(status["errors"], "0");
    EXPECT_EQ(status["first_error"], "");
    EXPECT_EQ(status["last_success"], status["last_pass"]);
  }
  EXPECT_EQ(lines_at("Warning").size(), 1u) << log();
  EXPECT_EQ(terminate(), 0);
}

TEST_F(Service, EncryptionThatCannotBeHonouredIsRefusedWithoutAPlainCopy) {
  std::string const encrypt = R"(, "encryptTarget": "true")";
  struct Refused {
    char const* name;
    bool two_way;
    std::string flags;
    char const* text;
  };
  std::vector<Refused> const refused = {
      {"twoway", true, encrypt, "Encrypted targets are not possible with two-way synchronisation."},
      {"moves", false, encrypt + R"(, "trackMoves": "true")",
       "Encrypted targets are not possible when moves are tracked."},
      {"nokey", false, encrypt, "No encryption key has been set up."},
  };
  std::vector<Item> items;
  for (Refused const& r : refused) {
    test_support::write_file(files / "src" / r.name / "secret.txt", "secret");
    items.push_back(
        tree_item(r.name, files / "src" / r.name, files / "dst" / r.name, r.two_way, r.flags));
  }
  test_support::write_file(files / "src/plain/open.txt", "open");
  items.push_back(tree_item("plain", files / "src/plain", files / "dst/plain"));
  write_config(config_json(items));
  start();
  ASSERT_TRUE(eventually([&] {
    return tree_of(files / "dst/plain") == tree_of(files / "src/plain");
  })) << log();
  ASSERT_TRUE(eventually([&] {
    for (Refused const& r : refused)
      if (!fs::exists(status_file(r.name))) return false;
    return true;
  })) << log();
  std::this_thread::sleep_for(1500ms);  // more passes: the refusal is repeated, its line is not

  for (Refused const& r : refused) {
    SCOPED_TRACE(r.name);
    std::string const line = std::string(r.text) + " " + r.name;
    EXPECT_EQ(log_count("Error\t" + line + "\n"), 1u) << log();
    auto const status = status_of(r.name);
    EXPECT_EQ(status.at("reachable"), "1");
    EXPECT_EQ(status.at("errors"), "1");
    EXPECT_EQ(status.at("first_error"), line);
    EXPECT_EQ(status.count("last_success"), 0u);
    EXPECT_FALSE(fs::exists(files / "dst" / r.name)) << "nothing written to the target";
  }
  EXPECT_EQ(lines_at("Error").size(), refused.size()) << log();
  EXPECT_EQ(names_in(data_dir() / "state"), std::vector<std::string>{}) << "no state kept";
  EXPECT_EQ(terminate(), 0);
}

TEST_F(Service, ItemsDisabledOrOutsideTheirWeeklyWindowDoNotRun) {
  std::time_t const now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  int const today = (local.tm_wday + 6) % 7;  // 0 is Monday
  // Today and tomorrow, so that a test running over midnight sees the same answer.
  int const near = (1 << today) | (1 << ((today + 1) % 7));
  auto const window = [](int days) {
    return R"(, "scheduleLimited": "true", "scheduleFrom": "0", "scheduleUntil": "0", )"
           R"("scheduleDays": ")" +
           std::to_string(days) + "\"";
  };
  test_support::write_file(files / "src/closed/a.txt", "x");
  test_support::write_file(files / "src/open/b.txt", "y");
  test_support::write_file(files / "src/off/c.txt", "z");
  Item off = tree_item("off", files / "src/off", files / "dst/off");
  off.enabled = false;
  write_config(config_json(
      {tree_item("closed", files / "src/closed", files / "dst/closed", false, window(127 & ~near)),
       off, tree_item("open", files / "src/open", files / "dst/open", false, window(near))}));
  start();
  ASSERT_TRUE(eventually([&] {
    return tree_of(files / "dst/open") == tree_of(files / "src/open");
  })) << log();
  std::this_thread::sleep_for(1500ms);  // more passes
  for (char const* name : {"closed", "off"}) {
    EXPECT_FALSE(fs::exists(files / "dst" / name)) << name;
    EXPECT_FALSE(fs::exists(status_file(name))) << name;
    EXPECT_EQ(log_count((files / "src" / name).string()), 0u) << log();
  }
  EXPECT_TRUE(fs::exists(status_file("open")));
  EXPECT_EQ(terminate(), 0);
}

}  // namespace

// A source folder that goes away (an unplugged drive) while the pair is still cached as
// reachable, or after: either the item is not run or its run deletes nothing, one way or two.
TEST_F(Service, SourceFolderGoneDeletesNothingInTheTarget) {
  std::vector<Item> items = {tree_item("twoway", files / "src/two", files / "dst/two", true),
                             tree_item("mirror", files / "src/mirror", files / "dst/mirror", false,
                                       R"(, "syncDeletions": "true")")};
  for (Item const& i : items) {
    test_support::write_file(i.source / "a.txt", "a");
    test_support::write_file(i.source / "sub/b.txt", "b");
  }
  auto const original = tree_of(items[0].source);
  write_config(config_json(items));
  start();
  auto const all_in_step = [&] {
    for (Item const& i : items)
      if (tree_of(i.target) != original || tree_of(i.source) != original) return false;
    return true;
  };
  ASSERT_TRUE(eventually(all_in_step)) << log();
  // After the first re-probe of the pairs (2 s), so that passes meet the missing source while the
  // pairs are still cached as reachable.
  std::this_thread::sleep_for(2500ms);
  fs::rename(files / "src", files / "away");
  std::this_thread::sleep_for(3s);
  for (Item const& i : items) EXPECT_EQ(tree_of(i.target), original) << i.name << "\n" << log();
  fs::rename(files / "away", files / "src");
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(eventually(all_in_step)) << log();
  EXPECT_EQ(names_in(home.path() / ".recyclebin"), std::vector<std::string>{}) << "nothing deleted";
  EXPECT_EQ(terminate(), 0);
}

// A target inside its own source (or the other way round) would copy the tree into itself on
// every pass: such an item is refused before anything is written.
TEST_F(Service, OverlappingSidesAreRefusedBeforeAnythingIsWritten) {
  test_support::write_file(files / "src/tree/a.txt", "a");
  test_support::write_file(files / "src/other/b.txt", "b");
  std::vector<Item> const items = {
      tree_item("inside", files / "src/tree", files / "src/tree/backup"),
      tree_item("around", files / "src/other/deeper", files / "src/other", true)};
  fs::create_directories(files / "src/other/deeper");
  auto const before = tree_of(files / "src");
  write_config(config_json(items));
  start();
  ASSERT_TRUE(eventually([&] {
    return fs::exists(status_file("inside")) && fs::exists(status_file("around"));
  })) << log();
  std::this_thread::sleep_for(1500ms);  // more passes
  EXPECT_EQ(tree_of(files / "src"), before) << log();
  for (Item const& i : items) {
    std::string const text = "Sync item " + i.name + " not run: source " + i.source.string() +
                             " and target " + i.target.string() + " overlap.";
    EXPECT_EQ(log_count("Error\t" + text + "\n"), 1u) << log();
    auto status = status_of(i.name);
    EXPECT_EQ(status["errors"], "1");
    EXPECT_EQ(status["first_error"], text);
  }
  EXPECT_EQ(terminate(), 0);
}
