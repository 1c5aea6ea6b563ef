// The process's logger pointed at a file of the test's own, to read back what the code logged.
#pragma once

#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"

namespace test_support {

class SingletonLog {
 public:
  explicit SingletonLog(Utilities::LogLevel level = Utilities::LogLevel::Debug) {
    auto& logger = Utilities::Logging::instance();
    logger.set_log_file_path_name(Utilities::from_path(dir_ / "test.log"));
    logger.set_log_level(level);
  }
  std::filesystem::path path() const { return dir_ / "test.log"; }
  // Each line's level name and text, as "<level>\t<text>".
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::string const all = read_file(path());
    std::size_t at = 0;
    while (at < all.size()) {
      std::size_t end = all.find('\n', at);
      if (end == std::string::npos) end = all.size();
      std::string const line = all.substr(at, end - at);
      // "<date> <time> <tag> <level>\t<text>": drop date, time and tag.
      std::size_t level = line.find(' ', line.find(' ', line.find(' ') + 1) + 1);
      out.push_back(level == std::string::npos ? line : line.substr(level + 1));
      at = end + 1;
    }
    return out;
  }

 private:
  TempDir dir_;
};

}  // namespace test_support
