// The global options of the configuration file's "Settings" section, and the reading and
// writing of that section.
#pragma once

#include <boost/property_tree/ptree_fwd.hpp>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

namespace KVO_Core {

// How deleted and replaced files go away.
enum class DeleteMode : int { RecycleBin = 0, Permanent = 1 };

// Plain value; a default-constructed value holds the reset values.
struct Settings {
  KVO_Core::DeleteMode DeleteMode = KVO_Core::DeleteMode::RecycleBin;
  bool StartMinimzed = false;
  bool MinimizeInsteadOfClose = false;
  bool Autostart = false;
  bool StartSyncAtStart = false;
  bool ShowErrors = true;
  bool ShowWarnings = false;
  bool ShowInfos = false;
  std::wstring BackupProofPath;
  std::uint16_t RecycleBinDays = 0;   // 0 keeps bin entries for ever
  std::uint32_t TransferLimitKB = 0;  // KiB per second, 0 means no limit
  std::string Language;               // UTF-8
  std::string EncryptionRecipient;    // UTF-8

  // Every field back to its reset value.
  void reset();

  bool operator==(Settings const&) const = default;
};

// The configuration's one Settings value, shared between threads: the configuration is read
// and written on one thread while a phone's pass and the controller read the settings on others.
// Every access takes the lock; readers get a copy.
class SharedSettings {
 public:
  Settings get() const;
  void set(Settings const& value);
  void reset();
  // Runs `change` on the held value under the lock (e.g. setting EncryptionRecipient alone).
  template <class F>
  void update(F&& change) {
    std::lock_guard lock(mutex_);
    change(value_);
  }

 private:
  mutable std::mutex mutex_;
  Settings value_;
};

// Reads a "Settings" subtree, starting from the reset values. Throws (a ptree error naming the
// key, or std::out_of_range / std::invalid_argument for a bad number, std::runtime_error for a
// value that is not a text) at the first missing required key or bad value.
Settings get_settings(boost::property_tree::wptree const& section);

// The recycle bin's folder, process-wide: "<home>/.recyclebin" (".recyclebin" when no home
// directory is known) until the settings or a caller name another. Nothing is checked or created.
std::filesystem::path recycle_bin_path();
void set_recycle_bin_path(std::filesystem::path const& folder);

// Reads the "Settings" member of the whole file's tree into `settings` and sets a non-empty
// "RecycleBinPath" as the recycle bin's folder. No member: nothing changes, true. A bad section:
// Error "config_settings_read_error" with the reason, nothing assigned or applied, false (the
// caller should then keep the section's raw subtree instead of writing `settings` back).
bool read_settings_section(SharedSettings& settings, boost::property_tree::wptree const& root);

// Appends the "Settings" member (keys in file order, all values texts, "RecycleBinPath" from
// recycle_bin_path()) to the whole file's tree. Never throws for a valid value.
void write_settings_section(Settings const& settings, boost::property_tree::wptree& root);

}  // namespace KVO_Core
