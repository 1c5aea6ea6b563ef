// One pass of the controller over the configured items: which items are taken, the checks before
// an item runs, the engine run with pruning, and what is recorded afterwards.
#include <filesystem>

#include "core/config/Config.h"
#include "core/config/VolumeName.h"
#include "core/control/BackupProof.h"
#include "core/control/ChangeWatcher.h"
#include "core/control/Due.h"
#include "core/control/ItemStatus.h"
#include "core/control/Synchronize.h"
#include "core/crypto/TargetEncryption.h"
#include "core/devicelink/DeviceLink.h"
#include "core/remote/SshSessionScope.h"
#include "core/run/SyncReport.h"
#include "core/sync/ItemRun.h"
#include "core/sync/RemotePlace.h"
#include "core/versions/PruneTarget.h"
#include "utilities/FailureReasons.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

using Utilities::LogLevel;
using Utilities::translation::translate;
using FileInfoResult = Utilities::FilesystemUtil::FileInfoResult;

std::wstring side_text(std::unique_ptr<SyncPath> const& side) { return side ? side->path() : L""; }

bool remote(std::unique_ptr<SyncPath> const& side) { return side && side->kind == SyncPath::Ssh; }

bool read_only(SyncItem const& item, std::unique_ptr<SyncPath> const& side) {
  if (!side) return false;
  return place_of(item, side)
      ->read_only(remote(side) ? side->path() : without_volume_spec(side->path()));
}

}  // namespace

void Synchronize::sync_items() {
  // One session per account serves every item of the pass.
  SshSessionScope sessions;
  SyncPlanGuard plan_guard(type_.load() == SyncType::Preview ? &plan_ : nullptr);
  std::vector<SyncItem> const items = Config::instance()->syncitems();
  for (SyncItem const& item : items) {
    if (abort_.load()) break;
    if (!device_id_.empty()) {
      std::string account;
      if (!device_item(item, account) || account != device_id_) continue;
    }
    sync_item(item);
  }
}

void Synchronize::sync_item(SyncItem const& item) {
  Utilities::log_at(LogLevel::Debug, L"Synchronize::sync_item: " + item.name);
  SyncType const type = type_.load();
  bool const real = type == SyncType::Once || type == SyncType::Continuous;
  std::string account;
  bool const phone = device_item(item, account);
  bool const served = phone && DeviceLink::instance().serving(account);
  if (!item.flags.enabled) {
    // A served phone would otherwise wait its full hour for an item that does not run now.
    if (served && real) DeviceLink::instance().item_skipped(account, item.name);
    return;
  }
  Utilities::log_at(LogLevel::Debug, L"Synchronize::operator()() Start of " + item.name);
  if (type == SyncType::Continuous &&
      !item.flags.schedule.allows(std::chrono::system_clock::now())) {
    if (served) DeviceLink::instance().item_skipped(account, item.name);
    return;
  }
  if (phone) {
    if (!served) return;
    // The phone's address, port and password are new with every serve: an earlier answer of
    // the reachability cache says nothing about them.
    check_path_.forget(side_text(item.source()), side_text(item.target()));
  } else if (type != SyncType::Preview && !due(item)) {
    return;
  }
  auto const start = std::chrono::steady_clock::now();
  if (type == SyncType::Count || type == SyncType::Preview)
    run_sync_item(item);
  else
    report_sync_item(item);
  if (watcher_) {
    // Its run may have made a folder that was missing; what it holds has just been synchronised.
    watcher_->resume(item.name);
    // A change seen during the run makes the item due again.
    watcher_->clear(item.name, start);
  }
  // A run cut short by a reload or a stop has not passed: the next controller runs it again
  // while the phone is still served.
  if (phone && real && !abort_.load()) DeviceLink::instance().item_passed(account, item.name);
}

bool Synchronize::due(SyncItem const& item) {
  // A folder that appeared since (a source plugged in again) counts as changed as a whole.
  if (watcher_ && watcher_->resume(item.name)) watcher_->changed(item.name);
  if (watcher_ && watcher_->watching(item.name))
    return watched_item_due(watcher_->last_change(item.name), item.last_sync,
                            std::chrono::steady_clock::now());
  return pause_elapsed(item);
}

bool Synchronize::pause_elapsed(SyncItem const& item) {
  auto const now = std::chrono::steady_clock::now();
  bool const result = cycle_elapsed(item.last_sync, item.sync_cycle, now);
  Utilities::log_at(LogLevel::Debug, L"Synchronize::pause_elapsed() for " + item.name + L": " +
                                         (result ? L"true" : L"false"));
  if (!result) {
    Utilities::log_at(LogLevel::Debug, "now: ", now);
    Utilities::log_at(LogLevel::Debug, "last_sync: ", item.last_sync);
  }
  return result;
}

bool Synchronize::device_item(SyncItem const& item, std::string& account) {
  for (auto const* side : {&item.source(), &item.target()}) {
    SshPath const* ssh = item.ssh_path(*side);
    if (!ssh) continue;
    std::string const& name = ssh->account().name();
    if (Config::instance()->find_device(name)) {
      account = name;
      return true;
    }
  }
  return false;
}

void Synchronize::report_sync_item(SyncItem const& item) {
  std::uint64_t const files_before = file_count_;
  SyncReport report;
  {
    SyncReportGuard guard(&report);
    run_sync_item(item);
  }
  for (std::wstring const& line : report.hint_lines()) {
    Utilities::log_at(LogLevel::Warning, line);
    add_note(LogLevel::Warning, line);
  }
  LastRun const run = last_run_of(item, report);
  Config::instance()->record_last_run(item.name, run);
  if (!abort_.load()) item_status::record(item, run, item_status::current_time());
  std::uint64_t const files = file_count_ - files_before;
  std::wstring const proof_folder = Config::instance()->settings.get().BackupProofPath;
  if (item.flags.backupProof && !proof_folder.empty() &&
      (files > 0 || report.copied_bytes > 0 || !report.errors.empty() || report.shortage_count > 0))
    write_copy_log(Utilities::to_path(proof_folder), item, static_cast<unsigned long>(files),
                   report);
}

LastRun Synchronize::last_run_of(SyncItem const& item, SyncReport const& report) const {
  LastRun run;
  auto const reach = reachable_.find(item.name);
  run.reachable = reach == reachable_.end() || reach->second;
  run.errors = report.errors.size();
  if (!report.errors.empty()) run.first_error = report.errors.front();
  auto const entries = state_entries_.find(item.name);
  if (entries != state_entries_.end()) run.known_files = entries->second;
  return run;
}

void Synchronize::run_sync_item(SyncItem const& item) {
  try {
    std::wstring const source = side_text(item.source());
    std::wstring const target = side_text(item.target());
    if (!check_path_(source, target)) {
      report_unreachable(item);
      return;
    }
    reachable_[item.name] = true;
    if (auto const refusal = target_encryption::refusal(item)) {
      Utilities::log_at(LogLevel::Error, *refusal, item.name);
      report_sync_error(*refusal + L" " + item.name);
      return;
    }
    SyncType const type = type_.load();
    if (type == SyncType::Count || !write_protected(item)) {
      run_reachable_item(item);
      prune_generations(item);
    }
    if (type != SyncType::Count && type != SyncType::Preview)
      Config::instance()->refresh_last_sync(item.name);
  } catch (std::filesystem::filesystem_error const& e) {
    Utilities::FilesystemUtil::handle_last_error(e);
    report_sync_error(Utilities::util::string_to_wstring(e.what()));
  } catch (std::exception const& e) {
    std::wstring const text = Utilities::util::string_to_wstring(e.what());
    Utilities::log_at(LogLevel::Error, translate("sync_item_failed"), item.name);
    Utilities::log_at(LogLevel::Error, text);
    report_sync_error(text);
  } catch (...) {
    Utilities::log_at(LogLevel::Error, translate("sync_item_unknown_error"), item.name);
    report_sync_error(translate("unknown_error"));
  }
}

void Synchronize::report_unreachable(SyncItem const& item) {
  auto [it, inserted] = reachable_.try_emplace(item.name, true);
  bool const was_reachable = it->second;
  it->second = false;
  if (!was_reachable) return;
  std::wstring const source = side_text(item.source());
  std::wstring const target = side_text(item.target());
  int const reason = check_path_.refusal(source, target);
  std::wstring text = translate("source_or_target_not_reachable") + source + L" -> " + target;
  if (reason != 0 && reason != static_cast<int>(FileInfoResult::unknown_error))
    text += L" (" +
            Utilities::FilesystemUtil::make_error_message(static_cast<FileInfoResult>(reason)) +
            L")";
  bool const warn = item.flags.warnIfUnreachable ||
                    reason == static_cast<int>(FileInfoResult::authentication_failed) ||
                    reason == static_cast<int>(FileInfoResult::access_token_expired) ||
                    reason == static_cast<int>(FileInfoResult::server_not_trusted);
  if (warn) {
    Utilities::log_at(LogLevel::Warning, text);
    report_sync_error(text);
  } else {
    Utilities::log_at(LogLevel::Info, text);
  }
  if (unreachable_.size() >= 1000) unreachable_.erase(unreachable_.begin());
  unreachable_.push_back(UnreachableItem{item.name, text, warn});
}

bool Synchronize::write_protected(SyncItem const& item) {
  bool const two_way = item.flags.twoWaySync;
  bool const moving = item.flags.delAftercopy && !two_way;
  bool const test_source = two_way || (moving && !remote(item.source()));
  if (read_only(item, item.target())) {
    report_protected("target_read_only", side_text(item.target()));
    return true;
  }
  if (test_source && read_only(item, item.source())) {
    if (two_way) {
      report_protected("source_read_only", side_text(item.source()));
      return true;
    }
    report_protected("source_read_only_not_moved", side_text(item.source()));
  }
  return false;
}

void Synchronize::report_protected(char const* message_id, std::wstring const& path) {
  std::wstring const text = translate(message_id) + path;
  if (type_.load() == SyncType::Preview) {
    add_note(LogLevel::Error, text);
    return;
  }
  Utilities::log_at(LogLevel::Error, text);
  report_sync_error(text);
}

void Synchronize::run_reachable_item(SyncItem const& item) {
  ItemRunOptions options;
  options.type = type_.load();
  options.mass_deletion_confirmed = mass_deletion_confirmed_;
  options.abort = &abort_;
  options.remote_target_dir = [this](std::wstring const& path) { return is_ssh_target_dir(path); };
  ItemRunResult const result = run_item(item, file_count_, options);
  if (result.state_entries) state_entries_[item.name] = *result.state_entries;
}

bool Synchronize::is_ssh_target_dir(std::wstring const& path) {
  auto const now = std::chrono::steady_clock::now();
  auto it = ssh_target_dirs_.find(path);
  if (it != ssh_target_dirs_.end() && now - it->second.when < std::chrono::seconds(60))
    return it->second.is_dir;
  bool const is_dir = RemotePlace(path).folder(path) == FolderPresence::Present;
  ssh_target_dirs_[path] = SshTargetDirCacheEntry{is_dir, now};
  return is_dir;
}

void Synchronize::prune_generations(SyncItem const& item) {
  SyncType const type = type_.load();
  if (type == SyncType::Count || type == SyncType::Preview) return;
  if (!item.flags.fatherSonPrinciple || item.flags.maxGenerations == 0 || abort_.load()) return;
  auto const now = std::chrono::steady_clock::now();
  auto it = pruned_.find(item.name);
  if (it != pruned_.end() && it->second.max_generations == item.flags.maxGenerations &&
      now - it->second.when < std::chrono::hours(1))
    return;
  pruned_[item.name] = GenerationsPruned{item.flags.maxGenerations, now};
  std::size_t const removed = generations::prune_target(item, abort_);
  if (removed > 0)
    Utilities::log_at(LogLevel::Info,
                      translate("generations_pruned", {std::to_wstring(removed), item.name}));
}

}  // namespace KVO_Core
