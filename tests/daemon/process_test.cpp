// The service binary starts and ends cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/temp_dir.h"

TEST(DaemonProcess, EndsWithExitZeroOnSigterm) {
  test_support::TempDir home;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("HOME", home.path().c_str(), 1);
    execl(PELLI_BINARY_DIR "/bin/tessvald", "tessvald", nullptr);
    _exit(127);
  }
  // Send the signal once the process has its handler in place (bit 15 of SigCgt), however slow
  // its start under a sanitizer.
  auto const handles_sigterm = [pid] {
    std::string const status = test_support::read_file("/proc/" + std::to_string(pid) + "/status");
    auto const at = status.find("SigCgt:\t");
    return at != std::string::npos &&
           (std::stoull(status.substr(at + 8, 16), nullptr, 16) & (1ull << (SIGTERM - 1))) != 0;
  };
  auto const begin = std::chrono::steady_clock::now();
  while (!handles_sigterm()) {
    ASSERT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(30));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  auto start = std::chrono::steady_clock::now();
  while (waitpid(pid, &status, WNOHANG) == 0) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
