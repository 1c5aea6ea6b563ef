// The service's process entry and its daemon object: loads the configuration, keeps one
// background controller running, cuts the log once a day, reloads a changed configuration, keeps
// the device link up while phones are paired, and ends cleanly on SIGINT or SIGTERM.
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/config/Config.h"
#include "core/control/PhonePassControl.h"
#include "core/control/Synchronize.h"
#include "core/devicelink/DeviceLink.h"
#include "utilities/LogCut.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace languages {
inline constexpr char const* DEFAULT_LOCALES[] = {"de_DE.UTF-8", "de_DE", "de"};
}

namespace {

using KVO_Core::Config;
using KVO_Core::Synchronize;
using KVO_Core::SyncRole;
using KVO_Core::SyncType;
using Utilities::LogLevel;
using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t termination_requested = 0;

void signal_handler(int) { termination_requested = 1; }

constexpr std::uint16_t DEVICE_LINK_PORT = 52381;
// A background controller whose worker ended by an exception is made again after this pause,
// doubled after every further end, up to an hour.
constexpr std::chrono::seconds FIRST_RECREATE_PAUSE{60};
constexpr std::chrono::seconds LONGEST_RECREATE_PAUSE{3600};

class MyDaemon {
 public:
  MyDaemon() = default;
  ~MyDaemon() { stop(); }
  MyDaemon(MyDaemon const&) = delete;
  MyDaemon& operator=(MyDaemon const&) = delete;

  void start() {
    if (running.exchange(true)) return;
    Config::instance()->pathname(Config::get_root_pathname());
    load_config();
    KVO_Core::DeviceLink::instance().set_pass_control(&phone_passes);
    thread = std::thread([this] { run(); });
  }

  void stop() noexcept {
    if (!running.load()) return;
    {
      // The daemon thread may be about to start the link: it must not start it again once the
      // link is stopped below.
      std::lock_guard lock(link_mutex);
      stopping = true;
    }
    auto& link = KVO_Core::DeviceLink::instance();
    link.stop();
    link.set_pass_control(nullptr);
    running.store(false);
    if (thread.joinable()) thread.join();
  }

 private:
  void run() {
    create_controller();
    while (running.load()) {
      log_cut(std::chrono::system_clock::now());
      if (Config::instance()->file_changed_on_disk()) reload_config();
      keep_controller();
      keep_device_link();
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    destroy_controller();
  }

  static void load_config() {
    Config* config = Config::instance();
    config->read(config->config_path());
    Utilities::translation::set_language(config->settings.get().Language);
    Utilities::Logging::instance().open_file();
    if (auto mismatch = Utilities::translation::catalogue_mismatch())
      Utilities::log_at(LogLevel::Warning, *mismatch);
  }

  void reload_config() {
    destroy_controller();
    load_config();
    Utilities::log_at(LogLevel::Info, Utilities::translation::translate("config_reloaded"),
                      Config::instance()->config_path());
    recreate_pause = FIRST_RECREATE_PAUSE;
    create_controller();
  }

  // Null while another controller (a phone's one-pass controller) is in the way.
  void create_controller() {
    controller =
        Synchronize::create(SyncType::Continuous, nullptr, SyncRole::Background, false, "");
    recreate_at.reset();
  }

  // Only the daemon's own: a phone's one-pass controller belongs to the device link, which waits
  // for it and destroys it itself.
  void destroy_controller() {
    Synchronize::destroy(controller);
    controller = nullptr;
  }

  // Passes must not stop for good while the service looks alive: a controller whose worker ended
  // (an exception escaped a pass) is replaced after a growing pause. A controller missing because
  // another one (a phone's pass) was in the way is made as soon as the way is free.
  void keep_controller() {
    if (!controller) {
      create_controller();
      return;
    }
    if (!Synchronize::instance_finished()) return;
    auto const now = Clock::now();
    if (!recreate_at) {
      recreate_at = now + recreate_pause;
      return;
    }
    if (now < *recreate_at) return;
    destroy_controller();
    recreate_pause = std::min(recreate_pause * 2, LONGEST_RECREATE_PAUSE);
    create_controller();
  }

  void keep_device_link() {
    std::lock_guard lock(link_mutex);
    if (stopping) return;
    auto& link = KVO_Core::DeviceLink::instance();
    if (link.running.load()) return;
    if (Config::instance()->devices_snapshot().empty()) return;
    auto const now = Clock::now();
    if (now < next_link_attempt) return;
    next_link_attempt = now + std::chrono::seconds(60);
    link.start(KVO_Core::DeviceLink::default_dir(), DEVICE_LINK_PORT, DEVICE_LINK_PORT);
  }

  std::atomic<bool> running{false};
  std::thread thread;
  // The daemon thread's background controller; it destroys no other.
  KVO_Core::Synchronize* controller = nullptr;
  KVO_Core::PhonePassControl phone_passes;
  std::mutex link_mutex;
  bool stopping = false;  // under link_mutex: the link is being stopped for good
  Utilities::DailyLogCut log_cut;
  Clock::time_point next_link_attempt{};
  std::chrono::seconds recreate_pause = FIRST_RECREATE_PAUSE;
  std::optional<Clock::time_point> recreate_at;
};

std::unique_ptr<MyDaemon> the_daemon;

void to_system_log(char const* message_id) {
  std::string const text = Utilities::translation::translate_utf8(message_id);
  syslog(LOG_INFO, "%s", text.c_str());
}

}  // namespace

int main() {
  // A peer that closed its connection must not end the service.
  std::signal(SIGPIPE, SIG_IGN);
  // Handlers first: a stop requested during start-up is honoured once the service is up, instead
  // of killing it half-started.
  std::signal(SIGINT, signal_handler);
  std::signal(SIGTERM, signal_handler);
  Utilities::translation::init_locale(languages::DEFAULT_LOCALES);
  Utilities::translation::init(Utilities::translation::locale_dir());
  Utilities::Logging::instance().set_origin_tag('D');
  the_daemon = std::make_unique<MyDaemon>();
  the_daemon->start();
  to_system_log("daemon_running");
  Utilities::log_at(LogLevel::Info, Utilities::translation::translate("daemon_started"),
                    std::wstring());
  while (termination_requested == 0) std::this_thread::sleep_for(std::chrono::seconds(1));
  the_daemon->stop();
  to_system_log("daemon_stopped");
  Utilities::log_at(LogLevel::Info, Utilities::translation::translate("daemon_stopped"),
                    std::wstring());
  return 0;
}
