// A mass deletion the running service refuses: nothing is deleted, the refusal is logged once,
// and the item's status file shows it as an error of every run until it is resolved.
#include "service_fixture.h"

namespace {

using namespace service_test;

// The files of a folder, or the whole folder, moved away from the source and back again.
void move_photos(fs::path const& from, fs::path const& to, bool whole_folder) {
  if (whole_folder) return fs::rename(from, to);
  fs::create_directories(to);
  for (std::string const& name : names_in(from)) fs::rename(from / name, to / name);
}

TEST_F(Service, RefusedMassDeletionIsAnErrorInTheStatusUntilResolved) {
  // A mirror walks only the folders its source has: there the files go, not their folder.
  std::vector<Item> const items = {
      tree_item("mirror", files / "src/mirror", files / "dst/mirror", false,
                R"(, "syncDeletions": "true")"),
      tree_item("twoway", files / "src/twoway", files / "dst/twoway", true)};
  auto const whole_folder = [](Item const& i) { return i.two_way; };
  auto const away = [&](Item const& i) { return files / (i.name + "-away"); };
  for (Item const& i : items) {
    test_support::write_file(i.source / "keep.txt", "k");
    for (int n = 0; n < 12; ++n)
      test_support::write_file(i.source / "photos" / ("p" + std::to_string(n)), "p");
  }
  write_config(config_json(items));
  start();
  std::map<std::string, std::string> clean;
  for (Item const& i : items) {
    ASSERT_TRUE(eventually([&] { return tree_of(i.target) == tree_of(i.source); })) << log();
    ASSERT_TRUE(eventually([&] { return status_of(i.name)["errors"] == "0"; })) << log();
    clean[i.name] = status_of(i.name)["last_success"];
    ASSERT_FALSE(clean[i.name].empty());
  }

  for (Item const& i : items) move_photos(i.source / "photos", away(i), whole_folder(i));
  auto const refusal = [](Item const& i) {
    return "Mass deletion refused for " + i.name + ": 12 of ";
  };
  for (Item const& i : items)
    ASSERT_TRUE(eventually([&] { return log_count(refusal(i)) == 1; })) << log();
  // Passes go on every second; each must keep the refusal as its error.
  std::this_thread::sleep_for(3500ms);
  for (Item const& i : items) {
    SCOPED_TRACE(i.name);
    EXPECT_EQ(log_count(refusal(i)), 1u) << "logged once while it lasts";
    EXPECT_EQ(names_in(i.target / "photos").size(), 12u) << "nothing deleted";
    auto status = status_of(i.name);
    EXPECT_EQ(status["reachable"], "1");
    EXPECT_EQ(status["errors"], "1");
    EXPECT_EQ(status["first_error"].rfind(refusal(i), 0), 0u) << status["first_error"];
    EXPECT_EQ(status["last_success"], clean[i.name]) << "no success while it is refused";
  }

  // The folder is back: the next pass neither refuses nor fails.
  for (Item const& i : items) move_photos(away(i), i.source / "photos", whole_folder(i));
  for (Item const& i : items) {
    SCOPED_TRACE(i.name);
    std::map<std::string, std::string> status;
    EXPECT_TRUE(eventually([&] {
      status = status_of(i.name);
      return status["errors"] == "0";
    })) << log();
    EXPECT_EQ(status["first_error"], "");
    EXPECT_EQ(status["last_success"], status["last_pass"]);
  }
  EXPECT_EQ(terminate(), 0);
}

}  // namespace
