// A destination that did not exist when the pair was compared: a file put there by someone while
// the copy runs is kept, whatever its size or time; a directory put there is never replaced.
#include <functional>

#include "transfer_fixture.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Util.h"

namespace {

using namespace transfer_test;
using KVO_Core::SyncItemType;

TEST_F(TransferPass, DestinationMadeDuringTheCopyOfANewFileIsKept) {
  struct Case {
    char const* name;
    std::function<void(fs::path const&)> make;
  } const cases[] = {
      {"a file", [](fs::path const& at_path) { put(at_path, "made meanwhile", 20); }},
      {"an empty file", [](fs::path const& at_path) { put(at_path, "", 0); }},
      {"a folder", [](fs::path const& at_path) { fs::create_directory(at_path); }},
  };
  for (auto const& c : cases) {
    test_support::TempDir here;
    put(here / "src/a.txt", std::string(3 << 20, 's'), 10);
    fs::create_directories(here / "dst");
    RecordingSink sink;
    bool made = false;
    sink.on_bytes = [&](std::uint64_t) {
      if (!made) c.make(here / "dst/a.txt");
      made = true;
    };
    report = {};
    count = 0;
    pass(make_item(SyncItemType::File, here / "src/a.txt", here / "dst/a.txt", {}));
    ASSERT_TRUE(made) << c.name;
    if (fs::is_directory(here / "dst/a.txt"))
      EXPECT_TRUE(fs::is_empty(here / "dst/a.txt")) << c.name;
    else
      EXPECT_NE(test_support::read_file(here / "dst/a.txt"), std::string(3 << 20, 's')) << c.name;
    EXPECT_EQ(count, 0u) << c.name;
    EXPECT_EQ(report.errors.size(), 1u) << c.name;
    EXPECT_EQ(leftovers(here / "dst"), 0u) << c.name;
  }
}

TEST_F(TransferPass, NewFilesArriveWhileOthersAreMissing) {
  // Many new files in one folder: each lands whole, none is taken for a changed destination.
  for (int i = 0; i < 50; ++i)
    put(dir / "src" / ("f" + std::to_string(i)),
        std::string(100 + i * 97, static_cast<char>('a' + i % 26)), i);
  for (int i = 0; i < 50; ++i) {
    std::string const name = "f" + std::to_string(i);
    pass(make_item(SyncItemType::File, dir / "src" / name, dir / "dst" / name, {}));
  }
  for (int i = 0; i < 50; ++i) {
    std::string const name = "f" + std::to_string(i);
    EXPECT_EQ(test_support::read_file(dir / "dst" / name),
              std::string(100 + i * 97, static_cast<char>('a' + i % 26)));
    EXPECT_EQ(fs::last_write_time(dir / "dst" / name), at(i));
  }
  EXPECT_EQ(count, 50u);
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(leftovers(dir / "dst"), 0u);
}

TEST_F(TransferPass, AMissingDestinationIsLoggedOnce) {
  put(dir / "src/a.txt", "new", 10);
  fs::create_directories(dir / "dst");
  auto& logger = Utilities::Logging::instance();
  logger.collect_messages(true);
  pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", {}));
  auto const messages = logger.take_collected_messages();
  logger.collect_messages(false);
  std::string const missing =
      Utilities::util::wstring_to_string(Utilities::FilesystemUtil::make_error_message(
          Utilities::FilesystemUtil::file_not_exist)) +
      ": " + (dir / "dst/a.txt").string();
  std::size_t lines = 0;
  for (auto const& message : messages) lines += message.text == missing ? 1 : 0;
  EXPECT_EQ(lines, 1u);
  EXPECT_EQ(count, 1u);
}

}  // namespace
