// The process-wide configuration: where the file lives, reading and writing it, noticing that
// it changed on disk, and the registries of sync items, remote accounts and paired devices.
//
// Each registry has its own mutex, held for one operation only and never together with another
// registry's; every result is a copy. Reads and writes of the file are serialised by a mutex of
// their own, taken before any registry mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "core/config/Accounts.h"
#include "core/config/FileStamp.h"
#include "core/config/JsonRead.h"
#include "core/config/Settings.h"
#include "core/config/SyncItem.h"
#include "utilities/Json.h"

namespace KVO_Core {

class Config {
 public:
  // The one configuration, made empty on first use (or after unload); never null.
  static Config* instance();
  // A configuration is installed.
  static bool exists();
  // Resets, uninstalls and destroys the configuration; no other thread may use it meanwhile.
  static void unload();

  // Settings to their defaults and the three lists emptied, one after the other. The served
  // phones' accounts, the path, the stamp and the flags stay.
  void reset();

  // "$HOME/Library/Application Support/pellimoravin/pellimoravin.json" ("pellimoravin.json"
  // without HOME). Moves "$HOME/pellimoravin.json" there once when no file is there yet; never
  // replaces an existing file.
  static std::wstring get_root_pathname();
  // Names the configuration file (the one file_changed_on_disk watches).
  void pathname(std::wstring_view path);
  // The path named by pathname; empty until then.
  std::wstring config_path() const;

  // Replaces the whole configuration by the file's content; false (with FatalError lines, and an
  // empty configuration) when the file is missing, unreadable or holds no members. Entries and
  // sections that cannot be read are skipped with a line and kept aside verbatim for write.
  bool read(std::wstring_view path);
  // Writes the whole configuration durably (temporary file, fsync, rename, fsync of the folder;
  // the file's mode kept, 0600 for a new one). Refuses (Error line, false) to replace a file that
  // changed on disk since it was last read or written here. On any failure (FatalError
  // "config_write_error", e.g. a password that cannot be encrypted) the old file stays as it was.
  bool write(std::wstring const& path);
  // The named file's last-write time, size, inode or device differs from when it was last read
  // or written here (a file that appeared or vanished counts too).
  bool file_changed_on_disk() const;

  // Set by every change of a registry (but loading), cleared by a successful read or write.
  bool modified() const { return modified_.load(); }
  void set_modified() { modified_.store(true); }
  // True only after a successful read.
  bool loaded() const { return loaded_.load(); }

  // The global settings; readers take copies (settings.get()).
  SharedSettings settings;

  // Sync items (items_mutex).
  std::vector<SyncItem> syncitems() const;
  // A copy of the item at index; none (Error line) for an index not below the count.
  std::optional<SyncItem> item(std::size_t index) const;
  // Appends a copy. An item whose state or status file name would be that of an earlier item
  // gets a number of its own for those files, with a Warning.
  void add(SyncItem const& item, bool loading);
  // Replaces the item at index; false (Error line, nothing changed) for a bad index.
  bool set(std::size_t index, SyncItem const& item);
  // Deletes the item's state and status files and the item; false (Error line) for a bad index.
  bool remove(std::size_t index);
  bool erase_by_name(std::wstring const& name);
  // First item whose source (true) or target (false) text equals path; a missing side is "".
  std::optional<SyncItem> find(std::wstring const& path, bool source) const;
  std::optional<SyncItem> find_by_name(std::wstring const& name) const;
  bool update_by_name(std::wstring const& name, SyncItem const& item);
  void refresh_last_sync(std::wstring const& name);
  void record_last_run(std::wstring const& name, LastRun const& run);
  bool update_ssh_account_references(std::string const& old_name, SshAccount const& account);
  bool ssh_account_referenced_by_any_item(std::string const& account_name) const;
  // Installed, loaded and holding at least one item.
  static bool sync_possible();

  // Accounts (accounts_mutex).
  void add(SshAccount const& account, bool loading);
  std::optional<SshAccount> ssh_account_at(std::size_t index) const;
  std::vector<SshAccount> ssh_accounts_snapshot() const;
  bool remove_ssh_account(std::size_t index);
  bool update_ssh_account(std::size_t index, SshAccount const& account);
  // Runs `change` on the first account of that name under the accounts' lock, so that nothing
  // can come between its test of the account and its change; true (and modified) when it
  // returned true, false when no account has the name.
  bool update_ssh_account_by_name(std::string const& name,
                                  std::function<bool(SshAccount&)> const& change);
  // A configured account, else a served phone's account, else a paired device made into an
  // account (name = id, its host key, port 22); none otherwise.
  std::optional<SshAccount> find_ssh_account_by_name(std::string const& name) const;

  // Devices and served phones' accounts (devices_mutex).
  void add(Device const& device, bool loading);
  std::optional<Device> find_device(std::string const& id) const;
  std::vector<Device> devices_snapshot() const;
  bool update_device(Device const& device);
  bool remove_device(std::string const& id);
  std::optional<SshAccount> device_account(std::string const& name) const;
  void set_device_account(SshAccount const& account);
  void clear_device_account(std::string const& name);

  // An entry the read skipped, written back verbatim after `after` written entries.
  struct KeptEntry {
    std::size_t after;
    std::wstring key;
    boost::property_tree::wptree tree;
  };

  Config(Config const&) = delete;
  Config& operator=(Config const&) = delete;
  ~Config();

 private:
  using Tree = boost::property_tree::wptree;

  // What the read could not use, so that a write does not silently drop it.
  struct Leftovers {
    std::optional<Tree> settings;
    Settings settings_read;  // what the read left in force beside a kept "Settings"
    std::optional<Tree> logging;
    std::vector<KeptEntry> accounts;
    std::vector<KeptEntry> devices;
    std::vector<KeptEntry> items;
  };

  Config();
  static void init_singleton();

  // The file's top-level members; false when there is none.
  bool interpret_json(std::vector<json_read::Member> const& top);
  bool read_ssh_accounts(std::vector<json_read::Member> const& entries);
  bool read_devices(std::vector<json_read::Member> const& entries);
  void read_sync_items(std::vector<json_read::Member> const& entries);
  // The whole file as it is to be written, about `expected_size` bytes long.
  std::string file_text(std::size_t expected_size) const;
  void write_ssh_accounts(Utilities::json::NodeWriter& root) const;
  void write_devices(Utilities::json::NodeWriter& root) const;
  void write_sync_items(Utilities::json::NodeWriter& root) const;
  // Item file names in use, kept with the items (items_mutex).
  struct FileNames {
    std::multiset<std::wstring> state;
    std::multiset<std::wstring> status;
  };
  std::uint32_t free_file_suffix(std::wstring const& name, std::uint32_t preferred) const;
  void take_file_names(SyncItem const& item);
  void release_file_names(SyncItem const& item);
  void erase_item_locked(std::size_t index);
  void log_bad_index(std::size_t index, std::size_t count) const;

  mutable std::mutex items_mutex;
  std::vector<SyncItem> items;
  FileNames item_file_names;
  mutable std::mutex accounts_mutex;
  std::vector<SshAccount> accounts;
  mutable std::mutex devices_mutex;
  std::vector<Device> devices;
  std::map<std::string, SshAccount> device_accounts;

  // Serialises read and write; the leftovers belong to it.
  mutable std::mutex file_mutex;
  Leftovers leftovers;
  std::size_t text_size_ = 0;  // of the file last read or written, to size the next write

  mutable std::mutex stamp_mutex;
  std::wstring config_path_;
  std::wstring stamp_path_;  // the file file_stamp describes
  FileStamp file_stamp;

  std::atomic<bool> modified_{false};
  std::atomic<bool> loaded_{false};

  static std::unique_ptr<Config> instance_;
  static std::mutex instance_mutex_;
};

// The account named by the text before the path's first colon; a default account (empty texts,
// port 22) when there is no colon after the first character or no such account.
SshAccount get_account(std::wstring const& path);

// The next line that is neither empty nor begins with "//"; empty at the end of the stream.
std::wstring getline(std::wifstream& stream);

}  // namespace KVO_Core
