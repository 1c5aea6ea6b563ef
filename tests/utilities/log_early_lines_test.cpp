// Lines logged before the log file is first opened (start-up errors) are kept, up to a bound,
// and written when it opens; after that a closed file keeps nothing.
#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"

namespace {

std::size_t count_of(std::string const& all, std::string const& part) {
  std::size_t n = 0;
  for (auto at = all.find(part); at != std::string::npos; at = all.find(part, at + 1)) ++n;
  return n;
}

TEST(LogEarlyLines, KeptUntilTheFileFirstOpens) {
  test_support::TempDir dir;
  Utilities::Logging logger;
  logger.log(Utilities::LogLevel::Error, std::string("before the file"));
  for (int i = 0; i < 700; ++i) logger.log(Utilities::LogLevel::Info, "line " + std::to_string(i));
  auto const file = dir / "log/test.log";
  logger.set_log_file_path_name(Utilities::from_path(file));
  std::string all = test_support::read_file(file);
  EXPECT_EQ(all.find("before the file"), all.find('\t') + 1) << "the first line comes first";
  EXPECT_EQ(count_of(all, "\tline "), 499u) << "bounded";
  logger.log(Utilities::LogLevel::Info, std::string("after"));
  logger.close_file();
  logger.log(Utilities::LogLevel::Info, std::string("while closed"));
  logger.open_file();
  all = test_support::read_file(file);
  EXPECT_EQ(count_of(all, "after"), 1u);
  EXPECT_EQ(count_of(all, "while closed"), 0u);
}

}  // namespace
