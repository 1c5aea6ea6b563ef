// Reading and writing the configuration file as a whole.
#include <algorithm>
#include <system_error>

#include "core/config/AccountsSection.h"
#include "core/config/Config.h"
#include "core/config/DurableWrite.h"
#include "core/config/JsonDepth.h"
#include "core/config/JsonRead.h"
#include "core/config/LoggingSetup.h"
#include "core/config/SectionValues.h"
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
using json_read::Member;
using Utilities::LogLevel;
using Utilities::translation::translate;
using Utilities::translation::translate_utf8;
using Utilities::util::string_to_wstring;

// Far above any real configuration (10,000 items take about 10 MiB), far below memory trouble.
constexpr std::uintmax_t MAX_FILE_SIZE = std::uintmax_t{256} << 20;

// The file's top-level members with their values still as text, pointing into `bytes`, which
// gets the file's content; none (after a FatalError line) when the file is missing or is no
// readable JSON. The whole text is checked here, so that what is parsed later cannot fail.
std::vector<Member> top_members(std::wstring const& path, std::string& bytes) {
  if (!Utilities::FilesystemUtil::file_exists(path)) {
    Utilities::log_at(LogLevel::FatalError, translate("config_file_not_exist"), path);
    return {};
  }
  try {
    std::error_code size_error;
    auto size = std::filesystem::file_size(Utilities::to_path(path), size_error);
    if (!size_error && size > MAX_FILE_SIZE) {
      throw std::runtime_error("file larger than " + std::to_string(MAX_FILE_SIZE >> 20) + " MiB");
    }
    bytes = Utilities::FilesystemUtil::read_file_bytes(Utilities::to_path(path));
    check_json_depth(std::string_view(bytes));
    return json_read::members(bytes);
  } catch (std::exception const& error) {
    Utilities::log_at(LogLevel::FatalError, translate("config_read_exception"),
                      string_to_wstring(error.what()), path);
  }
  return {};
}

// The sections whose entries are parsed one at a time: the tree of 10,000 items alone would
// take more than 100 MiB.
bool is_list_section(std::wstring const& key) {
  return key == L"SshAccounts" || key == L"Devices" || key == L"Syncitems";
}

// The entries of the first list section `key`; none when there is none or it is a plain value.
std::vector<Member> entries_of(std::vector<Member> const& top, wchar_t const* key) {
  for (auto const& member : top) {
    if (member.key == key) return json_read::members(member.value);
  }
  return {};
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

// Writes the list section `key`: the written entries with the kept ones back in their places.
// Each entry's tree is made only when it is written.
template <typename T, typename Write>
void put_section(Utilities::json::NodeWriter& root, wchar_t const* key, wchar_t const* entry_key,
                 std::vector<T> const& list, std::vector<Config::KeptEntry> const& kept,
                 Write write_one) {
  bool const array = list.empty() && std::all_of(kept.begin(), kept.end(), [](auto const& entry) {
                       return entry.key.empty();
                     });
  auto section = root.add_node(key, array);
  std::size_t next_kept = 0;
  auto put_kept_up_to = [&](std::size_t written) {
    while (next_kept < kept.size() && kept[next_kept].after <= written) {
      section.add(kept[next_kept].key, kept[next_kept].tree);
      ++next_kept;
    }
  };
  for (std::size_t i = 0; i < list.size(); ++i) {
    put_kept_up_to(i);
    Tree entry;
    write_one(list[i], entry);
    section.add(entry_key, entry);
  }
  put_kept_up_to(static_cast<std::size_t>(-1));
  section.close();
}

}  // namespace

bool Config::read(std::wstring_view path_view) {
  std::lock_guard file_lock(file_mutex);
  // A mistake made again after a fix must not read like a clean reading.
  Utilities::RepeatsWritten every_mistake;
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
  std::string bytes;  // the members' texts point into it
  bool const interpreted = interpret_json(top_members(path, bytes));
  text_size_ = bytes.size();
  if (interpreted) {
    modified_ = false;
    loaded_ = true;
    return true;
  }
  reset();
  leftovers = Leftovers{};
  Utilities::log_fatal(translate_utf8("config_not_readable"));
  return false;
}

bool Config::interpret_json(std::vector<Member> const& top) {
  if (top.empty()) {
    Utilities::log_fatal(translate_utf8("config_read_error"));
    return false;
  }
  Tree tree;  // the sections read as a whole
  for (auto const& [key, text] : top) {
    if (is_list_section(key)) continue;
    Tree value = json_read::parse(text);
    tree.push_back(Tree::value_type(key, Tree()))->second.swap(value);
  }
  if (!read_settings_section(settings, tree)) {
    leftovers.settings = tree.get_child(L"Settings");
    leftovers.settings_read = settings.get();
  }
  if (!read_logging_section(tree, password_key_file_path())) {
    leftovers.logging = tree.get_child(L"Logging");
  }
  read_ssh_accounts(entries_of(top, L"SshAccounts"));
  read_devices(entries_of(top, L"Devices"));
  read_sync_items(entries_of(top, L"Syncitems"));
  return true;
}

bool Config::read_ssh_accounts(std::vector<Member> const& entries) {
  std::size_t loaded = 0;
  for (auto const& [key, text] : entries) {
    Tree entry = json_read::parse(text);
    try {
      add(read_ssh_account(entry), true);
      ++loaded;
    } catch (std::exception const& error) {
      Utilities::log_error(translate_utf8("ssh_account_entry_skipped"), std::string(error.what()));
      leftovers.accounts.push_back({loaded, key, std::move(entry)});
    }
  }
  return leftovers.accounts.empty();
}

bool Config::read_devices(std::vector<Member> const& entries) {
  std::size_t loaded = 0;
  for (auto const& [key, text] : entries) {
    Tree entry = json_read::parse(text);
    try {
      add(read_device(entry), true);
      ++loaded;
    } catch (std::exception const& error) {
      Utilities::log_error(translate_utf8("device_entry_skipped"), std::string(error.what()));
      leftovers.devices.push_back({loaded, key, std::move(entry)});
    }
  }
  return leftovers.devices.empty();
}

void Config::read_sync_items(std::vector<Member> const& entries) {
  {
    std::lock_guard lock(items_mutex);
    items.reserve(items.size() + entries.size());
  }
  std::size_t loaded = 0;
  for (auto const& [key, text] : entries) {
    Tree entry = json_read::parse(text);
    SyncItem item;
    if (interpret_sync_item(entry, item)) {
      add(item, true);
      ++loaded;
    } else {
      std::wstring const name = section_values::text_or(entry, L"name", L"");
      std::size_t const number = loaded + leftovers.items.size() + 1;
      Utilities::log_at(
          LogLevel::Error,
          name.empty() ? translate("sync_item_entry_skipped_unnamed", {std::to_wstring(number)})
                       : translate("sync_item_entry_skipped", {name}));
      leftovers.items.push_back({loaded, key, std::move(entry)});
    }
  }
}

void Config::write_ssh_accounts(Utilities::json::NodeWriter& root) const {
  put_section(root, L"SshAccounts", L"SshAccount", ssh_accounts_snapshot(), leftovers.accounts,
              write_ssh_account);
}

void Config::write_devices(Utilities::json::NodeWriter& root) const {
  put_section(root, L"Devices", L"Device", devices_snapshot(), leftovers.devices, write_device);
}

void Config::write_sync_items(Utilities::json::NodeWriter& root) const {
  // Written from the registry itself: a copy of thousands of items costs more than writing
  // them, and writing an item calls nothing that could wait for this lock.
  std::lock_guard lock(items_mutex);
  put_section(root, L"Syncitems", L"Syncitem", items, leftovers.items, write_sync_item);
}

std::string Config::file_text(std::size_t expected_size) const {
  Tree sections;  // those written as a whole
  if (leftovers.settings) {
    sections.push_back(
        {L"Settings", kept_settings(*leftovers.settings, leftovers.settings_read, settings.get())});
  } else {
    write_settings_section(settings.get(), sections);
  }
  if (leftovers.logging) {
    sections.push_back({L"Logging", *leftovers.logging});
  } else {
    write_logging_section(sections, password_key_file_path());
  }
  std::string text;
  // Growing a large text copies it each time; room reserved but never touched costs no memory.
  // Twice the size: a file written by hand in fewer lines grows by our indentation.
  text.reserve(std::min<std::size_t>(expected_size * 2, MAX_FILE_SIZE));
  Utilities::json::NodeWriter root(text);
  for (auto const& [key, value] : sections) root.add(key, value);
  write_ssh_accounts(root);
  write_devices(root);
  write_sync_items(root);
  root.close();
  return text;
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
    std::string text = file_text(text_size_);
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    stamp = replace_file_durably(file, text);
    text_size_ = text.size();
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
