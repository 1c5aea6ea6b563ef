// The running service and a configuration file that cannot be read: broken or deleted while it
// runs, or bad from the start. The service stays up, runs nothing while the file is unusable,
// says why in its log, and syncs again once the file is repaired.
#include "service_fixture.h"

namespace {

using namespace service_test;

constexpr char const* NOT_READ = "FatalError\tThe configuration file could not be read: ";
constexpr char const* MISSING = "FatalError\tThe configuration file does not exist: ";
constexpr char const* EMPTY =
    "FatalError\tThe configuration file holds nothing that could be read.";
constexpr char const* NOT_LOADED = "FatalError\tThe configuration could not be loaded;";
constexpr char const* RELOADED = "Info\tConfiguration read again: ";

class ServiceConfig : public Service {
 protected:
  fs::path source() const { return files.path() / "src/tree"; }
  fs::path target() const { return files.path() / "dst/tree"; }
  std::string good_config() const { return config_json({tree_item("tree", source(), target())}); }
  bool synced(std::string const& content) const {
    return test_support::read_file(target() / "sub/a.txt") == content &&
           tree_of(target()) == tree_of(source());
  }

  // Whether the lines after `from` hold the given parts, one per line, in this order and nothing
  // else at FatalError; each part that ends in a blank is followed by the configuration's path.
  ::testing::AssertionResult fatal_sequence(std::size_t from,
                                            std::vector<char const*> const& parts) const {
    std::vector<std::string> fatal;
    std::vector<std::string> const lines = log_lines();
    for (std::size_t i = from; i < lines.size(); ++i)
      if (lines[i].find(" FatalError\t") != std::string::npos) fatal.push_back(lines[i]);
    if (fatal.size() != parts.size())
      return ::testing::AssertionFailure() << fatal.size() << " FatalError lines:\n" << log();
    for (std::size_t i = 0; i < parts.size(); ++i) {
      std::string const part = parts[i];
      if (fatal[i].find(part) == std::string::npos)
        return ::testing::AssertionFailure() << "line " << i << " is not " << part << ":\n"
                                             << log();
      std::string const path = config_file().string();
      if (part.back() == ' ' &&
          (fatal[i].size() < path.size() ||
           fatal[i].compare(fatal[i].size() - path.size(), path.size(), path)))
        return ::testing::AssertionFailure() << "no path in " << fatal[i];
    }
    return ::testing::AssertionSuccess();
  }

  // The source changes while the file is unusable: no pass may carry it over. Two seconds hold
  // about two passes of an item with a one-second cycle.
  void expect_nothing_synced() {
    test_support::write_file(source() / "sub/a.txt", "while unusable");
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(alive());
    EXPECT_EQ(test_support::read_file(target() / "sub/a.txt"), "first") << log();
  }
};

// A configuration made unusable while the service runs.
struct RunningCase {
  char const* name;
  bool removed;                    // the file is deleted, else overwritten with a broken text
  std::vector<char const*> fatal;  // the FatalError lines of the reload, in order
};

void PrintTo(RunningCase const& c, std::ostream* out) { *out << c.name; }

class UnusableWhileRunning : public ServiceConfig,
                             public ::testing::WithParamInterface<RunningCase> {};

TEST_P(UnusableWhileRunning, IsReadOnceRunsNothingAndSyncsAgainWhenRepaired) {
  RunningCase const& c = GetParam();
  test_support::write_file(source() / "sub/a.txt", "first");
  write_config(good_config());
  start();
  ASSERT_TRUE(eventually([&] { return synced("first"); })) << log();
  std::size_t const before = log_lines().size();

  if (c.removed)
    fs::remove(config_file());
  else
    write_config("{ this is not json");
  ASSERT_TRUE(eventually([&] { return log_count(RELOADED) == 1; })) << log();
  EXPECT_TRUE(fatal_sequence(before, c.fatal));
  // The file is read again first, then the reload is logged (also when the read failed).
  std::string const all = log();
  auto const reloaded = all.find(RELOADED + config_file().string() + "\n");
  ASSERT_NE(reloaded, std::string::npos) << all;
  EXPECT_GT(reloaded, all.rfind("FatalError\t")) << all;
  expect_nothing_synced();
  EXPECT_EQ(log_count(RELOADED), 1u) << "an unusable file is not read again until it changes";

  write_config(good_config());
  EXPECT_TRUE(eventually([&] { return synced("while unusable"); }, 20s)) << log();
  EXPECT_EQ(log_count(RELOADED), 2u);
  EXPECT_TRUE(fatal_sequence(before, c.fatal)) << "no further FatalError";
  EXPECT_EQ(terminate(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnusableWhileRunning,
    ::testing::Values(RunningCase{"Malformed", false, {NOT_READ, EMPTY, NOT_LOADED}},
                      RunningCase{"Deleted", true, {MISSING, EMPTY, NOT_LOADED}}),
    [](auto const& info) { return std::string(info.param.name); });

// A configuration that is bad when the service starts.
struct StartCase {
  char const* name;
  enum Kind { NotJson, Missing, EmptyObject, PartialSettings } kind;
  std::vector<char const*> fatal;  // the FatalError lines, in order
  char const* error;               // the one Error line, or nullptr for none
  bool items_run;                  // whether the item in the file runs anyway
};

void PrintTo(StartCase const& c, std::ostream* out) { *out << c.name; }

class BadConfigurationAtStart : public ServiceConfig,
                                public ::testing::WithParamInterface<StartCase> {
 protected:
  void write_bad_config(StartCase::Kind kind) {
    std::string const good = good_config();
    switch (kind) {
      case StartCase::NotJson:
        return write_config("{ broken");
      case StartCase::Missing:
        return fs::create_directories(data_dir()), void();
      case StartCase::EmptyObject:
        return write_config("{}");
      case StartCase::PartialSettings:
        // The settings lack the flags they require; the items are read all the same.
        return write_config(R"({"Settings": {"Language": "en"},)" + good.substr(good.find('\n')));
    }
  }
};

TEST_P(BadConfigurationAtStart, ReachesTheLogAndTheServiceRecovers) {
  StartCase const& c = GetParam();
  test_support::write_file(source() / "sub/a.txt", "first");
  write_bad_config(c.kind);
  start();
  ASSERT_TRUE(eventually([&] { return log_count("Sync service started.") == 1; })) << log();
  EXPECT_TRUE(fatal_sequence(0, c.fatal));
  std::vector<std::string> const errors = lines_at("Error");
  if (c.error) {
    ASSERT_EQ(errors.size(), 1u) << log();
    EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
  } else {
    EXPECT_TRUE(errors.empty()) << log();
  }
  // Logged before the log file was open, they were kept and written first.
  std::vector<std::string> const lines = log_lines();
  std::size_t const kept = c.fatal.size() + (c.error ? 1 : 0);
  ASSERT_GT(lines.size(), kept) << log();
  for (std::size_t i = 0; i < kept; ++i)
    EXPECT_NE(lines[i].find("Error\t"), std::string::npos) << log();

  if (!c.items_run) {
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(alive());
    EXPECT_FALSE(fs::exists(target())) << log();
    write_config(good_config());
  }
  EXPECT_TRUE(eventually([&] { return synced("first"); }, 20s)) << log();
  EXPECT_EQ(log_count(RELOADED), c.items_run ? 0u : 1u);
  EXPECT_EQ(terminate(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadConfigurationAtStart,
    ::testing::Values(
        StartCase{"NotJson", StartCase::NotJson, {NOT_READ, EMPTY, NOT_LOADED}, nullptr, false},
        StartCase{"Missing", StartCase::Missing, {MISSING, EMPTY, NOT_LOADED}, nullptr, false},
        StartCase{"EmptyObject", StartCase::EmptyObject, {EMPTY, NOT_LOADED}, nullptr, false},
        StartCase{"PartialSettings",
                  StartCase::PartialSettings,
                  {},
                  "Error\tThe settings could not be read: missing key",
                  true}),
    [](auto const& info) { return std::string(info.param.name); });

// A mistake made again after it was fixed, within the half hour in which a repeated warning or
// error is held back: the reading that finds it must say so again, naming a skipped item.
struct RepeatedCase {
  char const* name;
  std::string (*bad)(std::string const& good);
  std::vector<char const*> lines;  // each in one line of every reading of the bad file
};

void PrintTo(RepeatedCase const& c, std::ostream* out) { *out << c.name; }

// The good configuration with one more item, as written by `entry`, after its own.
std::string with_item(std::string const& good, std::string const& entry) {
  return good.substr(0, good.rfind("}}")) + ",\n    \"Syncitem\": " + entry + "}}\n";
}

class MistakeMadeAgain : public ServiceConfig,
                         public ::testing::WithParamInterface<RepeatedCase> {};

TEST_P(MistakeMadeAgain, IsLoggedByEveryReadingThatFindsIt) {
  RepeatedCase const& c = GetParam();
  test_support::write_file(source() / "sub/a.txt", "first");
  write_config(good_config());
  start();
  ASSERT_TRUE(eventually([&] { return synced("first"); })) << log();
  auto const found = [&](std::size_t times) {
    for (char const* line : c.lines)
      if (log_count(line) != times) return false;
    return true;
  };
  for (std::size_t round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    write_config(c.bad(good_config()));
    ASSERT_TRUE(eventually([&] { return log_count(RELOADED) == 2 * round - 1; })) << log();
    EXPECT_TRUE(found(round)) << log();
    write_config(good_config());
    ASSERT_TRUE(eventually([&] { return log_count(RELOADED) == 2 * round; })) << log();
  }
  EXPECT_TRUE(found(2)) << "a good file logs none of them: " << log();
  EXPECT_EQ(terminate(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MistakeMadeAgain,
    ::testing::Values(
        RepeatedCase{"ItemWithoutCycle",
                     [](std::string const& good) {
                       return with_item(good, R"({"name": "broken", "type": "Datei", )"
                                              R"("source": "/a", "target": "/b", "wildcard": ""})");
                     },
                     {"Error\tA sync item could not be read: ",
                      "Error\tSync item broken of the configuration file was skipped; it stays "
                      "in the file unchanged.\n"}},
        RepeatedCase{"ItemWithoutName",
                     [](std::string const& good) {
                       return with_item(good, R"({"type": "Datei", "source": "/a"})");
                     },
                     {"Error\tSync item no. 2 of the configuration file, which has no name, was "
                      "skipped; it stays in the file unchanged.\n"}},
        RepeatedCase{"SettingsWithoutTheirFlags",
                     [](std::string const& good) {
                       return R"({"Settings": {"Language": "en"},)" + good.substr(good.find('\n'));
                     },
                     {"Error\tThe settings could not be read: missing key"}},
        RepeatedCase{"NotJson",
                     [](std::string const&) { return std::string("{ broken"); },
                     {NOT_READ, EMPTY, NOT_LOADED}}),
    [](auto const& info) { return std::string(info.param.name); });

}  // namespace
