// The controller's lifecycle and its worker's pass loop.
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "core/control/SyncArbiter.h"
#include "core/control/Synchronize.h"
#include "core/control/WatchItems.h"
#include "core/versions/BinCleanup.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

using Utilities::LogLevel;

// Serialises create, destroy and test-then-create; never taken by the worker.
std::mutex& controller_mutex() {
  static std::mutex m;
  return m;
}

// Held while another thread touches the published controller (stop, wake), and while it is
// unpublished, so that no one touches a controller being destroyed.
std::mutex& access_mutex() {
  static std::mutex m;
  return m;
}

// Notes and unreachable reports are for a front end; a service that runs for months keeps only
// the newest ones.
constexpr std::size_t KEPT_NOTES = 1000;
constexpr std::size_t KEPT_MESSAGES = 16;

template <typename T>
void push_bounded(std::vector<T>& list, T value) {
  if (list.size() >= KEPT_NOTES) list.erase(list.begin());
  list.push_back(std::move(value));
}

}  // namespace

std::atomic<Synchronize*> Synchronize::this_{nullptr};

Synchronize::Synchronize(SyncType type, SyncControler* controler, SyncRole role,
                         bool mass_deletion_confirmed, std::string device_id)
    : type_(type),
      controler_(controler),
      role_(role),
      mass_deletion_confirmed_(mass_deletion_confirmed),
      arbiter_(std::make_unique<SyncArbiter>(role)),
      device_id_(std::move(device_id)) {}

Synchronize* Synchronize::create(SyncType type, SyncControler* controler, SyncRole role,
                                 bool mass_deletion_confirmed, std::string const& device_id) {
  Utilities::log_at(LogLevel::Debug, "Synchronize::create()");
  std::lock_guard lock(controller_mutex());
  if (this_.load()) {
    Utilities::log_at(LogLevel::Debug, "Synchronize::create(): a controller exists already");
    return nullptr;
  }
  std::unique_ptr<Synchronize> made(
      new Synchronize(type, controler, role, mass_deletion_confirmed, device_id));
  ProgressSink* none = nullptr;
  sink_.compare_exchange_strong(none, made.get());
  stop_.store(false);
  {
    std::lock_guard access(access_mutex());
    this_.store(made.get());
  }
  try {
    made->worker_ = std::thread([c = made.get()] { (*c)(); });
  } catch (std::system_error const&) {
    {
      std::lock_guard access(access_mutex());
      this_.store(nullptr);
    }
    throw;  // the partly made controller goes with `made`
  }
  return made.release();
}

Synchronize::~Synchronize() {
  Utilities::log_at(LogLevel::Debug, "Synchronize::~Synchronize()");
  {
    std::lock_guard lock(mutex_);
    abort_.store(true);
    stop_.store(true);
  }
  wakeup_.notify_all();
  if (worker_.joinable()) worker_.join();
  ProgressSink* self = this;
  sink_.compare_exchange_strong(self, nullptr);
  Synchronize* me = this;
  {
    std::lock_guard access(access_mutex());
    this_.compare_exchange_strong(me, nullptr);
  }
  Utilities::log_at(LogLevel::Debug, "Synchronize::~Synchronize() complete");
}

void Synchronize::destroy() {
  Utilities::log_at(LogLevel::Debug, "Synchronize::destroy()");
  std::lock_guard lock(controller_mutex());
  Synchronize* current = nullptr;
  {
    std::lock_guard access(access_mutex());
    current = this_.exchange(nullptr);
  }
  delete current;
  stop_.store(true);
}

bool Synchronize::destroy(Synchronize* mine) {
  Utilities::log_at(LogLevel::Debug, "Synchronize::destroy()");
  std::lock_guard lock(controller_mutex());
  {
    std::lock_guard access(access_mutex());
    if (!mine || this_.load() != mine) return false;
    this_.store(nullptr);
  }
  delete mine;
  stop_.store(true);
  return true;
}

bool Synchronize::has_instance() { return this_.load() != nullptr; }

Synchronize& Synchronize::instance() {
  Utilities::log_at(LogLevel::Debug, "Synchronize::instance()");
  Synchronize* current = this_.load();
  if (!current) throw std::runtime_error(Utilities::translation::translate_utf8("no_sync_active"));
  return *current;
}

bool Synchronize::instance_finished() {
  std::lock_guard access(access_mutex());
  Synchronize* current = this_.load();
  return current && current->finished_.load();
}

void Synchronize::stop() {
  Utilities::log_at(LogLevel::Debug, "Synchronize::stop()");
  {
    std::lock_guard access(access_mutex());
    if (Synchronize* current = this_.load()) {
      {
        std::lock_guard lock(current->mutex_);
        current->abort_.store(true);
      }
      current->wakeup_.notify_all();
    }
  }
  stop_.store(true);
}

void Synchronize::wake() {
  std::lock_guard access(access_mutex());
  if (Synchronize* current = this_.load()) {
    {
      std::lock_guard lock(current->mutex_);
      current->woken_ = true;
    }
    current->wakeup_.notify_all();
  }
}

SyncMessage Synchronize::get_message() {
  SyncMessage result;
  try {
    if (messages_.size() != 0) messages_.pop(result);
    while (messages_.size() != 0) messages_.pop();
  } catch (Utilities::EmptyStack const&) {
    // another reader emptied it meanwhile
  }
  return result;
}

bool Synchronize::path_exists(std::wstring const& path) const {
  Utilities::log_at(LogLevel::Debug, "path_exists()");
  std::error_code ec;
  auto const st = std::filesystem::status(Utilities::to_path(path), ec);
  return st.type() != std::filesystem::file_type::none &&
         st.type() != std::filesystem::file_type::not_found;
}

void Synchronize::copied_bytes(std::uint64_t bytes) { copied_.store(bytes); }

void Synchronize::progress_message(std::wstring const& text, std::wstring const& detail,
                                   std::uint64_t bytes) {
  copied_.store(0);
  messages_.push(SyncMessage(text, detail, file_count_, bytes));
  messages_.keep_newest(KEPT_MESSAGES);
}

void Synchronize::note(LogLevel level, std::string const& text) {
  push_bounded(notes_, Utilities::LogMessage{level, text});
}

void Synchronize::add_note(LogLevel level, std::wstring const& text) {
  note(level, Utilities::util::wstring_to_string(text));
}

void Synchronize::pass_aborted(std::wstring const& text) {
  Utilities::log_at(LogLevel::FatalError, Utilities::translation::translate("sync_aborted") + text);
  add_note(LogLevel::Error, text);
}

void Synchronize::watch_items() { watcher_ = ::KVO_Core::watch_items(); }

void Synchronize::wait_between_passes() {
  std::unique_lock lock(mutex_);
  wakeup_.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::seconds(1),
                     [&] { return abort_.load() || stop_.load() || woken_; });
  woken_ = false;
}

void Synchronize::operator()() {
  Utilities::log_at(LogLevel::Debug, "Synchronize::operator()()");
  bool watching_ready = true;
  if (type_.load() == SyncType::Continuous) {
    try {
      watch_items();
    } catch (std::exception const& e) {
      pass_aborted(Utilities::util::string_to_wstring(e.what()));
      watching_ready = false;
    } catch (...) {
      pass_aborted(Utilities::translation::translate("unknown_error"));
      watching_ready = false;
    }
  }
  if (watching_ready) {
    try {
      do {
        if (!arbiter_->acquire(abort_)) break;
        sync_items();
        SyncType const type = type_.load();
        if (type != SyncType::Count && type != SyncType::Preview) bin_cleanup::run_if_due();
        if (role_ == SyncRole::Background) arbiter_->release();
        if (type == SyncType::Continuous && !stop_.load()) wait_between_passes();
      } while (type_.load() == SyncType::Continuous && !stop_.load() && !abort_.load());
    } catch (std::exception const& e) {
      pass_aborted(Utilities::util::string_to_wstring(e.what()));
    } catch (...) {
      pass_aborted(Utilities::translation::translate("unknown_error"));
    }
  }
  arbiter_->release();
  finished_.store(true);
  Utilities::log_at(LogLevel::Debug, "End of Synchronize::operator()()");
}

}  // namespace KVO_Core
