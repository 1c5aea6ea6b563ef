#include "platform/RunLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "platform/WatchHub.h"

namespace platform {

RunLoop::RunLoop()
    : hub_(std::make_unique<detail::WatchHub>()),
      wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

RunLoop::~RunLoop() = default;

void RunLoop::run() {
  while (!stopped_.load()) {
    auto const wait = hub_->next_deadline() - detail::Clock::now();
    // Without a wake-up descriptor a stop is still seen within a second.
    auto const ms = std::clamp<std::int64_t>(
        std::chrono::ceil<std::chrono::milliseconds>(wait).count(), 0, 1000);
    pollfd fds[2] = {{hub_->fd(), POLLIN, 0}, {wake_fd_.get(), POLLIN, 0}};
    int const ready = poll(fds, 2, static_cast<int>(ms));
    if (stopped_.load()) break;
    if (ready > 0 && (fds[0].revents & POLLIN)) hub_->read_events();
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      std::uint64_t count = 0;
      [[maybe_unused]] auto const n = ::read(wake_fd_.get(), &count, sizeof count);
    }
    hub_->tick();
  }
}

void RunLoop::stop() {
  stopped_.store(true);
  if (!wake_fd_) return;
  std::uint64_t const one = 1;
  [[maybe_unused]] auto const n = ::write(wake_fd_.get(), &one, sizeof one);
}

}  // namespace platform
