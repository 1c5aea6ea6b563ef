// The registry of sync items.
#include <algorithm>

#include "core/config/Config.h"
#include "core/config/ItemFiles.h"
#include "core/config/StateLocation.h"
#include "core/config/StatusFile.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

using Utilities::LogLevel;

std::wstring state_name(std::wstring const& name, std::uint32_t suffix) {
  return item_file_name(name, suffix, L"state", L".tsv");
}

std::wstring status_name(std::wstring const& name, std::uint32_t suffix) {
  return item_file_name(name, suffix, L"status", L".status");
}

void erase_one(std::multiset<std::wstring>& set, std::wstring const& value) {
  auto found = set.find(value);
  if (found != set.end()) set.erase(found);
}

}  // namespace

std::uint32_t Config::free_file_suffix(std::wstring const& name, std::uint32_t preferred) const {
  auto is_free = [&](std::uint32_t suffix) {
    return item_file_names.state.count(state_name(name, suffix)) == 0 &&
           item_file_names.status.count(status_name(name, suffix)) == 0;
  };
  if (is_free(preferred)) return preferred;
  if (is_free(0)) return 0;
  std::uint32_t suffix = 2;
  while (!is_free(suffix)) ++suffix;
  return suffix;
}

void Config::take_file_names(SyncItem const& item) {
  item_file_names.state.insert(state_name(item.name, item.file_suffix));
  item_file_names.status.insert(status_name(item.name, item.file_suffix));
}

void Config::release_file_names(SyncItem const& item) {
  erase_one(item_file_names.state, state_name(item.name, item.file_suffix));
  erase_one(item_file_names.status, status_name(item.name, item.file_suffix));
}

void Config::log_bad_index(std::size_t index, std::size_t count) const {
  Utilities::log_at(LogLevel::Error,
                    Utilities::translation::translate(
                        "config_index_invalid", {std::to_wstring(index), std::to_wstring(count)}));
}

std::vector<SyncItem> Config::syncitems() const {
  std::lock_guard lock(items_mutex);
  return items;
}

std::optional<SyncItem> Config::item(std::size_t index) const {
  std::lock_guard lock(items_mutex);
  if (index >= items.size()) {
    log_bad_index(index, items.size());
    return std::nullopt;
  }
  return items[index];
}

void Config::add(SyncItem const& item, bool loading) {
  std::lock_guard lock(items_mutex);
  SyncItem copy = item;
  copy.file_suffix = free_file_suffix(copy.name, 0);
  if (copy.file_suffix != 0) {
    Utilities::log_at(LogLevel::Warning, Utilities::translation::translate(
                                             "config_item_file_name_shared",
                                             {copy.name, state_name(copy.name, copy.file_suffix)}));
  }
  take_file_names(copy);
  items.push_back(std::move(copy));
  if (!loading) set_modified();
}

bool Config::set(std::size_t index, SyncItem const& item) {
  std::lock_guard lock(items_mutex);
  if (index >= items.size()) {
    log_bad_index(index, items.size());
    return false;
  }
  release_file_names(items[index]);
  SyncItem copy = item;
  std::uint32_t keep = copy.name == items[index].name ? items[index].file_suffix : 0;
  copy.file_suffix = free_file_suffix(copy.name, keep);
  take_file_names(copy);
  items[index] = std::move(copy);
  set_modified();
  return true;
}

void Config::erase_item_locked(std::size_t index) {
  SyncItem const& gone = items[index];
  remove_sync_state(sync_state_file_path(sync_state_dir(), gone));
  item_status::remove(gone);
  release_file_names(gone);
  items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
  set_modified();
}

bool Config::remove(std::size_t index) {
  std::lock_guard lock(items_mutex);
  if (index >= items.size()) {
    log_bad_index(index, items.size());
    return false;
  }
  erase_item_locked(index);
  return true;
}

bool Config::erase_by_name(std::wstring const& name) {
  std::lock_guard lock(items_mutex);
  auto found = std::find_if(items.begin(), items.end(),
                            [&](SyncItem const& item) { return item.name == name; });
  if (found == items.end()) return false;
  erase_item_locked(static_cast<std::size_t>(found - items.begin()));
  return true;
}

std::optional<SyncItem> Config::find(std::wstring const& path, bool source) const {
  std::lock_guard lock(items_mutex);
  for (auto const& item : items) {
    auto const& side = source ? item.source() : item.target();
    if ((side ? side->path() : std::wstring{}) == path) return item;
  }
  return std::nullopt;
}

std::optional<SyncItem> Config::find_by_name(std::wstring const& name) const {
  std::lock_guard lock(items_mutex);
  for (auto const& item : items) {
    if (item.name == name) return item;
  }
  return std::nullopt;
}

bool Config::update_by_name(std::wstring const& name, SyncItem const& item) {
  std::lock_guard lock(items_mutex);
  for (auto& held : items) {
    if (held.name != name) continue;
    release_file_names(held);
    SyncItem copy = item;
    copy.file_suffix = free_file_suffix(copy.name, copy.name == held.name ? held.file_suffix : 0);
    take_file_names(copy);
    held = std::move(copy);
    set_modified();
    return true;
  }
  return false;
}

void Config::refresh_last_sync(std::wstring const& name) {
  std::lock_guard lock(items_mutex);
  for (auto& held : items) {
    if (held.name == name) {
      held.set_last_sync();
      return;
    }
  }
}

void Config::record_last_run(std::wstring const& name, LastRun const& run) {
  std::lock_guard lock(items_mutex);
  for (auto& held : items) {
    if (held.name == name) {
      held.last_run = run;
      return;
    }
  }
}

bool Config::update_ssh_account_references(std::string const& old_name, SshAccount const& account) {
  std::lock_guard lock(items_mutex);
  bool changed = false;
  for (auto& held : items) {
    if (held.rename_ssh_account_reference(old_name, account)) changed = true;
  }
  if (changed) set_modified();
  return changed;
}

bool Config::ssh_account_referenced_by_any_item(std::string const& account_name) const {
  std::lock_guard lock(items_mutex);
  return std::any_of(items.begin(), items.end(), [&](SyncItem const& item) {
    return item.references_ssh_account(account_name);
  });
}

bool Config::sync_possible() {
  Config* config = nullptr;
  {
    std::lock_guard lock(instance_mutex_);
    config = instance_.get();
  }
  return config && config->loaded() && !config->syncitems().empty();
}

}  // namespace KVO_Core
