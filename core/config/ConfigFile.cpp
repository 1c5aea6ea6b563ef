// Reading and writing the configuration file as a whole.
#include <sstream>
#include <system_error>

#include <boost/property_tree/json_parser.hpp>

#include "core/config/AccountsSection.h"
#include "core/config/Config.h"
#include "core/config/DurableWrite.h"
#include "core/config/JsonDepth.h"
#include "core/config/LoggingSetup.h"
#include "core/config/Settings.h"
#include "core/config/SyncItemsSection.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Json.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

using Tree = boost::property_tree::wptree;
using Utilities::LogLevel;
using Utilities::translation::translate;
using Utilities::translation::translate_utf8;
using Utilities::util::string_to_wstring;
using Utilities::util::wstring_to_string;

// Far above any real configuration (10,000 items take about 10 MiB), far below memory trouble.
constexpr std::uintmax_t MAX_FILE_SIZE = std::uintmax_t{256} << 20;

// The file's tree; empty (after a FatalError line) when it is missing or no readable JSON.
Tree parse_json_file(std::wstring const& path) {
  Tree tree;
  if (!Utilities::FilesystemUtil::file_exists(path)) {
    Utilities::log_at(LogLevel::FatalError, translate("config_file_not_exist"), path);
    return tree;
  }
  try {
    std::error_code size_error;
    auto size = std::filesystem::file_size(Utilities::to_path(path), size_error);
    if (!size_error && size > MAX_FILE_SIZE) {
      throw std::runtime_error("file larger than " + std::to_string(MAX_FILE_SIZE >> 20) + " MiB");
    }
    std::wstring text = Utilities::FilesystemUtil::read_utf8_file(Utilities::to_path(path));
    check_json_depth(text);
    // Parsed from the decoded text: a file-name stream would decode by the global locale.
    std::wistringstream stream(text);
    boost::property_tree::read_json(stream, tree);
  } catch (std::exception const& error) {
    tree.clear();
    Utilities::log_at(LogLevel::FatalError, translate("config_read_exception"),
                      string_to_wstring(error.what()), path);
  }
  return tree;
}

// Appends `child` under `key` without copying it (ptree's push_back copies whole subtrees).
void append_moved(Tree& parent, std::wstring const& key, Tree& child) {
  parent.push_back(Tree::value_type(key, Tree()))->second.swap(child);
}

// A "Settings" section the read could not use, with the values changed in memory since (such
// as a new encryption recipient) put in.
Tree kept_settings(Tree kept, Settings const& at_read, Settings const& now) {
  Tree before, after;
  write_settings_section(at_read, before);
  write_settings_section(now, after);
  Tree const& old_values = before.get_child(L"Settings");
  for (auto const& [key, value] : after.get_child(L"Settings")) {
    if (old_values.get_child(key).data() == value.data()) continue;
    auto found = kept.find(key);
    if (found == kept.not_found()) {
      kept.push_back({key, value});
    } else {
      found->second = value;
    }
  }
  return kept;
}

// The list section `key` made of the written entries with the kept ones back in their places.
template <typename T, typename Write>
void put_section(Tree& root, wchar_t const* key, wchar_t const* entry_key,
                 std::vector<T> const& list, std::vector<Config::KeptEntry> const& kept,
                 Write write_one) {
  Tree section;
  std::size_t next_kept = 0;
  auto put_kept_up_to = [&](std::size_t written) {
    while (next_kept < kept.size() && kept[next_kept].after <= written) {
      section.push_back({kept[next_kept].key, kept[next_kept].tree});
      ++next_kept;
    }
  };
  for (std::size_t i = 0; i < list.size(); ++i) {
    put_kept_up_to(i);
    Tree entry;
    write_one(list[i], entry);
    append_moved(section, entry_key, entry);
  }
  put_kept_up_to(static_cast<std::size_t>(-1));
  append_moved(root, key, section);
}

}  // namespace

bool Config::read(std::wstring_view path_view) {
  std::lock_guard file_lock(file_mutex);
  std::wstring path(path_view);
  reset();
  loaded_ = false;
  leftovers = Leftovers{};
  // Taken before parsing: a change made while we read is seen by the next check.
  FileStamp stamp = file_stamp_of(Utilities::to_path(path));
  {
    std::lock_guard lock(stamp_mutex);
    file_stamp = stamp;
    stamp_path_ = path;
  }
  if (interpret_json(parse_json_file(path))) {
    modified_ = false;
    loaded_ = true;
    return true;
  }
  reset();
  leftovers = Leftovers{};
  Utilities::log_fatal(translate_utf8("config_not_readable"));
  return false;
}

bool Config::interpret_json(Tree tree) {
  if (tree.empty()) {
    Utilities::log_fatal(translate_utf8("config_read_error"));
    return false;
  }
  if (!read_settings_section(settings, tree)) {
    leftovers.settings = tree.get_child(L"Settings");
    leftovers.settings_read = settings.get();
  }
  if (!read_logging_section(tree, password_key_file_path())) {
    leftovers.logging = tree.get_child(L"Logging");
  }
  read_ssh_accounts(tree);
  read_devices(tree);
  read_sync_items(tree);
  return true;
}

bool Config::read_ssh_accounts(Tree const& root) {
  auto section = root.find(L"SshAccounts");
  if (section == root.not_found()) return true;
  std::size_t loaded = 0;
  for (auto const& [key, entry] : section->second) {
    try {
      add(read_ssh_account(entry), true);
      ++loaded;
    } catch (std::exception const& error) {
      Utilities::log_error(translate_utf8("ssh_account_entry_skipped"), std::string(error.what()));
      leftovers.accounts.push_back({loaded, key, entry});
    }
  }
  return leftovers.accounts.empty();
}

bool Config::read_devices(Tree const& root) {
  auto section = root.find(L"Devices");
  if (section == root.not_found()) return true;
  std::size_t loaded = 0;
  for (auto const& [key, entry] : section->second) {
    try {
      add(read_device(entry), true);
      ++loaded;
    } catch (std::exception const& error) {
      Utilities::log_error(translate_utf8("device_entry_skipped"), std::string(error.what()));
      leftovers.devices.push_back({loaded, key, entry});
    }
  }
  return leftovers.devices.empty();
}

void Config::read_sync_items(Tree const& root) {
  auto section = root.find(L"Syncitems");
  if (section == root.not_found()) return;
  std::size_t loaded = 0;
  for (auto const& [key, entry] : section->second) {
    SyncItem item;
    if (interpret_sync_item(entry, item)) {
      add(item, true);
      ++loaded;
    } else {
      Utilities::log_error(translate_utf8("sync_item_entry_skipped"));
      leftovers.items.push_back({loaded, key, entry});
    }
  }
}

void Config::write_ssh_accounts(Tree& root) const {
  put_section(root, L"SshAccounts", L"SshAccount", ssh_accounts_snapshot(), leftovers.accounts,
              write_ssh_account);
}

void Config::write_devices(Tree& root) const {
  put_section(root, L"Devices", L"Device", devices_snapshot(), leftovers.devices, write_device);
}

void Config::write_sync_items(Tree& root) const {
  put_section(root, L"Syncitems", L"Syncitem", syncitems(), leftovers.items, write_sync_item);
}

Config::Tree Config::build_tree() const {
  Tree root;
  if (leftovers.settings) {
    root.push_back(
        {L"Settings", kept_settings(*leftovers.settings, leftovers.settings_read, settings.get())});
  } else {
    write_settings_section(settings.get(), root);
  }
  if (leftovers.logging) {
    root.push_back({L"Logging", *leftovers.logging});
  } else {
    write_logging_section(root, password_key_file_path());
  }
  write_ssh_accounts(root);
  write_devices(root);
  write_sync_items(root);
  return root;
}

bool Config::write(std::wstring const& path) {
  std::lock_guard file_lock(file_mutex);
  auto file = Utilities::to_path(path);
  {
    std::lock_guard lock(stamp_mutex);
    if (stamp_path_ == path && file_stamp_of(file) != file_stamp) {
      // Someone else's edit: the next reload reads it; writing now would destroy it.
      Utilities::log_at(LogLevel::Error, translate("config_changed_not_written", {path}));
      return false;
    }
  }
  FileStamp stamp;
  try {
    Tree tree = build_tree();
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    stamp = replace_file_durably(file, wstring_to_string(Utilities::json::to_text(tree)));
  } catch (std::exception const& error) {
    Utilities::log_fatal(translate_utf8("config_write_error"), std::string(error.what()));
    return false;
  }
  {
    std::lock_guard lock(stamp_mutex);
    file_stamp = stamp;
    stamp_path_ = path;
  }
  modified_ = false;
  return true;
}

}  // namespace KVO_Core
