// The sync item model: one configured synchronisation with its two sides, options, comparison
// criteria and exclusions. Items are plain values: a copy owns copies of both sides, and an
// SshPath side owns a full copy of its account.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/config/Accounts.h"
#include "core/config/Schedule.h"

namespace KVO_Core {

enum class SyncItemType : int { None = 0, File = 1, Directory = 2, Tree = 3 };
enum class SymlinkMode : int { FileContent = 0, AsLink = 1, Follow = 2 };

// One row of a name table: the value, its key text in the configuration file, and the message id
// of its display name.
struct NameRow {
  int value;
  char const* key;
  char const* message_id;
};

inline constexpr std::array<NameRow, 3> SYNC_ITEM_TYPE_NAMES{{
    {1, "Datei", "sync_item_type_file"},
    {2, "Verzeichnis", "sync_item_type_dir"},
    {3, "Verzeichnisbaum", "sync_item_type_tree"},
}};
inline constexpr std::array<NameRow, 3> SYMLINK_MODE_NAMES{{
    {0, "fileContent", "symlink_mode_file_content"},
    {1, "asLink", "symlink_mode_as_link"},
    {2, "follow", "symlink_mode_follow"},
}};

// Key text of File, Directory or Tree; empty for any other value.
std::wstring sync_item_type_key(SyncItemType type);
// Translated display name; empty for any other value.
std::wstring sync_item_type_to_str(SyncItemType type);
// First row whose key text, message id or translated name equals `text`; None when none does.
SyncItemType str_to_sync_item_type(std::wstring const& text);
std::wstring symlink_mode_key(SymlinkMode mode);
std::wstring symlink_mode_to_str(SymlinkMode mode);
// First row whose key text or translated name equals `text`; FileContent when none does.
SymlinkMode str_to_symlink_mode(std::wstring const& text);

enum class CompareItem : int { Size = 0, Time = 1, Content = 2 };

// What decides that a file pair differs. Default: {Content}, tolerance 2 seconds.
class CompareItems {
 public:
  bool size() const { return items.count(CompareItem::Size) > 0; }
  bool time() const { return items.count(CompareItem::Time) > 0; }
  bool content() const { return items.count(CompareItem::Content) > 0; }
  void size(bool on) { toggle(CompareItem::Size, on); }
  void time(bool on) { toggle(CompareItem::Time, on); }
  void content(bool on) { toggle(CompareItem::Content, on); }
  // With on true, "size", "time" or "content" inserts that criterion; anything else does nothing.
  void set(std::wstring const& key, bool on);

  std::set<CompareItem> items{CompareItem::Content};
  std::uint16_t timeToleranceSeconds = 2;

  friend bool operator==(CompareItems const&, CompareItems const&) = default;

 private:
  void toggle(CompareItem item, bool on);
};

// The item's exclusion patterns (globs) in file order.
class Exclusions {
 public:
  Exclusions() = default;
  explicit Exclusions(std::vector<std::wstring> patterns) : patterns(std::move(patterns)) {}
  std::vector<std::wstring> patterns;

  friend bool operator==(Exclusions const&, Exclusions const&) = default;
};

// True when the name ends in ".kvo-part" or wholly matches one of the patterns.
bool is_excluded(std::wstring const& name, Exclusions const& exclusions);

// One side of an item.
class SyncPath {
 public:
  enum Kind : int { Filesystem = 0, Ssh = 1 };

  virtual ~SyncPath() = default;
  // The side's text: a local path, or the account name, a colon and the remote path.
  virtual std::wstring path() const = 0;
  virtual std::unique_ptr<SyncPath> clone() const = 0;

  Kind kind;

 protected:
  explicit SyncPath(Kind kind) : kind(kind) {}
  SyncPath(SyncPath const&) = default;
  SyncPath& operator=(SyncPath const&) = default;
};

// A local side, kept as configured (possibly in the volume-name form).
class FilesystemPath : public SyncPath {
 public:
  FilesystemPath() : SyncPath(Filesystem) {}
  explicit FilesystemPath(std::wstring path) : SyncPath(Filesystem), path_(std::move(path)) {}
  std::wstring path() const override { return path_; }
  std::unique_ptr<SyncPath> clone() const override;
  void set_path(std::wstring path) { path_ = std::move(path); }

 private:
  std::wstring path_;
};

// A remote side: a full copy of its account and the path on it.
class SshPath : public SyncPath {
 public:
  SshPath() : SyncPath(Ssh) {}
  // `text` without a leading "<account name>:"; a text without that prefix is stored whole.
  SshPath(SshAccount account, std::wstring const& text);
  std::wstring path() const override;
  std::unique_ptr<SyncPath> clone() const override;
  void set_path(std::wstring path) { path_ = std::move(path); }
  // The path on the account, without the account prefix.
  std::wstring const& remote_path() const { return path_; }
  SshAccount const& account() const { return account_; }
  void set_account(SshAccount const& account) { account_ = account; }

 private:
  SshAccount account_;
  std::wstring path_;
};

struct SyncFlags {
  SyncFlags() = default;
  SyncFlags(bool delAftercopy, bool twoWaySync, bool copyWhenTargetNewer, bool fatherSonPrinciple,
            bool enabled)
      : delAftercopy(delAftercopy),
        twoWaySync(twoWaySync),
        copyWhenTargetNewer(copyWhenTargetNewer),
        fatherSonPrinciple(fatherSonPrinciple),
        enabled(enabled) {}

  bool delAftercopy = false;
  bool twoWaySync = false;
  bool copyWhenTargetNewer = false;
  bool fatherSonPrinciple = false;
  bool syncDeletions = false;
  bool backupProof = false;
  bool encryptTarget = false;
  bool syncEmptyFiles = false;
  bool warnIfUnreachable = true;
  bool trackMoves = false;
  bool conflictCopies = true;
  bool watchChanges = false;
  bool enabled = true;
  SymlinkMode symlinks = SymlinkMode::FileContent;
  std::uint16_t maxGenerations = 0;  // 0 keeps all
  Schedule schedule;
  std::uint32_t maxFileMB = 0;  // 0: no limit

  friend bool operator==(SyncFlags const&, SyncFlags const&) = default;
};

// The outcome of the item's latest reported pass.
struct LastRun {
  bool reachable = false;
  std::uint64_t errors = 0;
  std::wstring first_error;
  std::optional<std::uint64_t> known_files;

  friend bool operator==(LastRun const&, LastRun const&) = default;
};

// Which sides are remote.
enum class SSHPATH : int { None = 0, Source = 1, Target = 2, Both = 3 };

class SyncItem {
 public:
  SyncItem() = default;
  SyncItem(std::wstring name, SyncItemType type, std::wstring const& source,
           std::wstring const& target, std::wstring wildcard);
  SyncItem(std::wstring name, SyncItemType type, std::wstring const& source,
           std::wstring const& target, std::wstring wildcard, Exclusions exclusions,
           bool delAftercopy, bool twoWaySync, bool copyWhenTargetNewer, bool fatherSonPrinciple,
           bool enabled, CompareItems compare_items);
  SyncItem(std::wstring name, SyncItemType type, std::wstring const& source,
           std::wstring const& target, std::wstring wildcard, Exclusions exclusions,
           SyncFlags flags, CompareItems compare_items);

  SyncItem(SyncItem const& other);
  SyncItem& operator=(SyncItem const& other);
  SyncItem(SyncItem&&) noexcept = default;
  SyncItem& operator=(SyncItem&&) noexcept = default;
  ~SyncItem() = default;

  // The sides; null only in a default-constructed item (or after a side was cleared).
  std::unique_ptr<SyncPath> const& source() const { return source_; }
  std::unique_ptr<SyncPath> const& target() const { return target_; }
  // Replace a side by the one the text names: remote exactly when the text before its first
  // colon names a known account (configured, a served phone's, or a paired device), else local.
  void source(std::wstring const& text);
  void target(std::wstring const& text);
  // Install a side as it is (the configuration reader decides the kind from the file).
  void set_source(std::unique_ptr<SyncPath> side) { source_ = std::move(side); }
  void set_target(std::unique_ptr<SyncPath> side) { target_ = std::move(side); }

  SyncItemType sync_item_type() const { return type; }
  // last_sync = now (steady clock), logged at Debug.
  void set_last_sync();
  // The side as an SshPath when it is set and remote; else null.
  SshPath const* ssh_path(std::unique_ptr<SyncPath> const& side) const;
  SSHPATH ssh_path_type() const;
  // A remote side uses the account of that name.
  bool references_ssh_account(std::string const& account_name) const;
  // Each remote side naming `account_name` gets a copy of `account` (its path kept); true when
  // any side changed.
  bool rename_ssh_account_reference(std::string const& account_name, SshAccount const& account);

  std::wstring name;
  SyncItemType type = SyncItemType::None;
  std::wstring wildcard;  // empty: every name
  SyncFlags flags;
  CompareItems compare_items;
  Exclusions exclusions;
  std::uint16_t sync_cycle = 60;
  std::chrono::steady_clock::time_point last_sync = std::chrono::steady_clock::time_point::min();
  std::optional<LastRun> last_run;
  // In memory only: 0, or the number that tells this item's state and status files apart from
  // an earlier item whose name gives the same file name (set by the configuration's registry).
  std::uint32_t file_suffix = 0;

 private:
  std::unique_ptr<SyncPath> side_from_text(char const* which, std::wstring const& text) const;

  std::unique_ptr<SyncPath> source_;
  std::unique_ptr<SyncPath> target_;
};

}  // namespace KVO_Core
