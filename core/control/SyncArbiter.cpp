#include "core/control/SyncArbiter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "core/config/Config.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace KVO_Core {

namespace {

std::atomic<bool> private_scope{false};
std::atomic<long> poll_ms{200};
std::atomic<long> give_up_ms{60000};

char const* role_word(SyncRole role) {
  return role == SyncRole::Foreground ? "foreground" : "background";
}

SyncRole other(SyncRole role) {
  return role == SyncRole::Foreground ? SyncRole::Background : SyncRole::Foreground;
}

platform::FileDescriptor open_lock_file(std::filesystem::path const& path) {
  return platform::FileDescriptor(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
}

void sleep_poll() { std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms.load())); }

}  // namespace

SyncArbiter::SyncArbiter(SyncRole role) : role_(role) {}

SyncArbiter::~SyncArbiter() {
  release();
  withdraw_active();
}

void SyncArbiter::use_private_scope() { private_scope = true; }

void SyncArbiter::set_timing(std::chrono::milliseconds poll, std::chrono::milliseconds give_up) {
  poll_ms = poll.count();
  give_up_ms = give_up.count();
}

std::filesystem::path SyncArbiter::lock_path(SyncRole role) {
  if (private_scope) {
    return std::filesystem::temp_directory_path() /
           ("pellimoravin-" + std::to_string(::getuid()) + "-test-" + role_word(role) + ".lock");
  }
  auto folder = Utilities::to_path(Config::get_root_pathname()).parent_path();
  std::error_code ec;
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  return folder / (std::string("sync-") + role_word(role) + ".lock");
}

bool SyncArbiter::try_lock_own() {
  // The other role probes this lock by taking it for an instant; a refusal during such a probe
  // is no holder. Try again a few times before concluding that someone really holds it.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) return own_locked_ = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return own_locked_ = false;
}

void SyncArbiter::publish_active() {
  if (!fd_) {
    fd_ = open_lock_file(lock_path(role_));
    if (!fd_) {
      Utilities::log_at(Utilities::LogLevel::Warning,
                        Utilities::translation::translate("arbiter_lock_file_failed"),
                        std::to_wstring(errno));
      return;
    }
  }
  if (own_locked_) return;
  if (!try_lock_own()) {
    // Another service (or a second front end) of the same role: say it once per wait, not on
    // every 200 ms poll.
    if (!warned_own_taken_) {
      Utilities::log_at(Utilities::LogLevel::Warning,
                        Utilities::translation::translate("arbiter_own_lock_taken"));
      warned_own_taken_ = true;
    }
  }
}

void SyncArbiter::withdraw_active() {
  if (!fd_) return;
  if (own_locked_) ::flock(fd_.get(), LOCK_UN);
  fd_.close();
  own_locked_ = false;
}

bool SyncArbiter::other_side_active() const {
  platform::FileDescriptor fd = open_lock_file(lock_path(other(role_)));
  if (!fd) return false;
  bool taken = ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0;
  if (!taken) ::flock(fd.get(), LOCK_UN);
  return taken;
}

bool SyncArbiter::acquire(std::atomic<bool> const& stop) {
  if (held_) return true;
  warned_own_taken_ = false;
  if (role_ == SyncRole::Background) {
    for (;;) {
      if (stop) return false;
      publish_active();
      // A second background holder (another service instance) must not run passes on the same
      // items at the same time: wait for it like for a foreground holder.
      bool own_free = !fd_ || own_locked_;
      if (own_free && !other_side_active()) {
        held_ = true;
        return true;
      }
      withdraw_active();
      sleep_poll();
    }
  }
  publish_active();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(give_up_ms.load());
  while (other_side_active()) {
    if (stop) {
      withdraw_active();
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      Utilities::log_at(Utilities::LogLevel::Warning,
                        Utilities::translation::translate("arbiter_service_not_releasing"));
      break;
    }
    sleep_poll();
  }
  held_ = true;
  return true;
}

void SyncArbiter::release() {
  if (!held_) return;
  withdraw_active();
  held_ = false;
}

}  // namespace KVO_Core
