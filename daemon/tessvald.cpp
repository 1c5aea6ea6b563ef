// The service's process entry: runs until SIGINT or SIGTERM.
#include <csignal>
#include <atomic>
#include <chrono>
#include <thread>

namespace {
std::atomic<bool> stop_requested{false};
void on_signal(int) { stop_requested = true; }
}  // namespace

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  while (!stop_requested) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return 0;
}
