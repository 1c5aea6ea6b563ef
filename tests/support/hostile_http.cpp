#include "hostile_http.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/temp_dir.h"

namespace test_support {

HostileHttp::HostileHttp(std::filesystem::path const& dir, std::string const& mode,
                         std::uint16_t target, std::uint64_t after) {
  start(dir, mode, " --target " + std::to_string(target) + " --after " + std::to_string(after));
}

HostileHttp::HostileHttp(std::filesystem::path const& dir, int status, std::string const& body) {
  start(dir, "answer", " --status " + std::to_string(status) + " --body " + shell_quoted(body));
}

void HostileHttp::start(std::filesystem::path const& dir, std::string const& mode,
                        std::string const& arguments) {
  std::filesystem::create_directories(dir);
  std::filesystem::path const log = dir / ("hostile-" + mode + ".log");
  std::string const command = "/usr/bin/python3 '" + std::string(PELLI_SOURCE_DIR) +
                              "/tests/support/hostile_http.py' --mode " + mode + arguments + " >'" +
                              log.string() + "' 2>&1 & echo $!";
  pid_ = std::stoi("0" + run_output(command));
  for (int i = 0; i < 200 && pid_ > 0; ++i) {
    std::string const text = read_file(log);
    if (std::size_t const at = text.find("port="); at != std::string::npos) {
      port_ = static_cast<std::uint16_t>(std::stoi(text.substr(at + 5)));
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

HostileHttp::~HostileHttp() {
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

}  // namespace test_support
