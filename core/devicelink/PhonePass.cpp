// A phone's sync pass: its SFTP account registered for the pass, its items run by the
// controller, progress and the closing line sent to the phone.
#include <algorithm>
#include <atomic>

#include "core/config/Config.h"
#include "core/devicelink/DeviceLink.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace {

std::atomic<long long> pass_limit_ms{3600 * 1000};

std::string progress_line(std::size_t done, std::size_t total) {
  return "{\"type\":\"progress\",\"done\":" + std::to_string(done) +
         ",\"total\":" + std::to_string(total) + "}\n";
}

}  // namespace

void DeviceLink::set_pass_limit(std::chrono::milliseconds limit) { pass_limit_ms = limit.count(); }

void DeviceLink::serve(Device const& device, HelloRequest const& request, Reply const& reply) {
  PassControl* const control = pass_control.load();
  if (!control) {
    reply("{\"type\":\"idle\"}\n");
    return;
  }
  std::vector<DeviceItem> items = items_of(device.id);
  std::erase_if(items, [](DeviceItem const& item) { return !item.enabled; });

  // The phone's address, port and password change from one serve to the next; the account lives
  // in memory for this pass only.
  SshAccount account;
  account.set_name(device.id);
  if (auto const phone = presence(device.id)) account.set_host(phone->ip);
  account.port = request.sftp_port;
  account.set_user(request.sftp_user);
  account.set_password(request.sftp_password);
  account.hostKey = device.sshHostKey;
  Config::instance()->set_device_account(account);
  {
    std::lock_guard lock(mutex);
    present[device.id].serving = true;
    pending.clear();
    skipped.clear();
    for (DeviceItem const& item : items) pending.insert(item.name);
  }
  std::wstring const name = Utilities::util::string_to_wstring(device.name);
  Utilities::log_at(Utilities::LogLevel::Info,
                    Utilities::translation::translate("device_pass_started",
                                                      {name, std::to_wstring(items.size())}));
  reply("{\"type\":\"serve\"}\n");

  bool completed = false;
  try {
    completed = wait_for_pass(*control, device.id, items, reply);
  } catch (...) {
    // No controller could be made: the phone must not stay served, nor its login kept.
    end_pass(device.id);
    throw;
  }
  end_pass(device.id);
  std::uint64_t const errors = last_errors(items);
  Utilities::log_at(Utilities::LogLevel::Info,
                    Utilities::translation::translate(
                        completed ? "device_pass_finished" : "device_pass_incomplete",
                        {name, std::to_wstring(errors)}));
  reply(std::string("{\"type\":\"done\",\"completed\":") + (completed ? "true" : "false") +
        ",\"errors\":" + std::to_string(errors) + "}\n");
}

void DeviceLink::end_pass(std::string const& device_id) {
  {
    std::lock_guard lock(mutex);
    auto const found = present.find(device_id);
    if (found != present.end()) {
      found->second.serving = false;
      found->second.sftp_password.clear();
    }
    pending.clear();
    skipped.clear();
  }
  Config::instance()->clear_device_account(device_id);
}

bool DeviceLink::wait_for_pass(PassControl& control, std::string const& device_id,
                               std::vector<DeviceItem> const& items, Reply const& reply) {
  auto const deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(pass_limit_ms.load());
  control.run_items(device_id);
  bool completed = false;
  {
    std::unique_lock lock(mutex);
    std::size_t reported = 0;
    auto const report_progress = [&] {
      std::size_t const passed = items.size() - pending.size() - skipped.size();
      if (passed == reported) return;
      lock.unlock();
      reply(progress_line(passed, items.size()));
      lock.lock();
      reported = passed;
    };
    while (!pending.empty()) {
      if (stop_flag.load() || std::chrono::steady_clock::now() >= deadline) break;
      pass_changed.wait_until(
          lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(1)));
      report_progress();
      // A controller whose passes are over runs nothing more. One that was replaced (a reload)
      // left its cancelled run pending for the next one, which runs it while the phone is served.
      if (!pending.empty() && control.controller_finished()) break;
    }
    // Items may have passed before the first wait, or while the last line went out.
    report_progress();
    completed = pending.empty() && skipped.empty();
  }
  control.end_own();
  return completed;
}

std::uint64_t DeviceLink::last_errors(std::vector<DeviceItem> const& items) {
  std::uint64_t errors = 0;
  for (DeviceItem const& listed : items) {
    auto const item = Config::instance()->find_by_name(listed.name);
    if (!item || !item->last_run) continue;
    // An unreachable phone is reported once while it stays so: its later runs have no error
    // line, and must still not read as a success.
    errors += item->last_run->reachable ? item->last_run->errors
                                        : std::max<std::uint64_t>(item->last_run->errors, 1);
  }
  return errors;
}

}  // namespace KVO_Core
