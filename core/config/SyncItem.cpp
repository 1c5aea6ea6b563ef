#include "core/config/SyncItem.h"

#include "core/config/RemotePaths.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

using Utilities::LogLevel;
using Utilities::util::string_to_wstring;
using Utilities::util::wstring_to_string;

template <std::size_t N>
NameRow const* row_of(std::array<NameRow, N> const& table, int value) {
  for (auto const& row : table) {
    if (row.value == value) return &row;
  }
  return nullptr;
}

std::wstring translated(char const* message_id) {
  return Utilities::translation::translate(message_id);
}

constexpr std::wstring_view PART_SUFFIX = L".kvo-part";

}  // namespace

std::wstring sync_item_type_key(SyncItemType type) {
  auto row = row_of(SYNC_ITEM_TYPE_NAMES, static_cast<int>(type));
  return row ? string_to_wstring(row->key) : std::wstring{};
}

std::wstring sync_item_type_to_str(SyncItemType type) {
  auto row = row_of(SYNC_ITEM_TYPE_NAMES, static_cast<int>(type));
  return row ? translated(row->message_id) : std::wstring{};
}

SyncItemType str_to_sync_item_type(std::wstring const& text) {
  for (auto const& row : SYNC_ITEM_TYPE_NAMES) {
    if (text == string_to_wstring(row.key) || text == string_to_wstring(row.message_id) ||
        text == translated(row.message_id)) {
      return static_cast<SyncItemType>(row.value);
    }
  }
  return SyncItemType::None;
}

std::wstring symlink_mode_key(SymlinkMode mode) {
  auto row = row_of(SYMLINK_MODE_NAMES, static_cast<int>(mode));
  return row ? string_to_wstring(row->key) : std::wstring{};
}

std::wstring symlink_mode_to_str(SymlinkMode mode) {
  auto row = row_of(SYMLINK_MODE_NAMES, static_cast<int>(mode));
  return row ? translated(row->message_id) : std::wstring{};
}

SymlinkMode str_to_symlink_mode(std::wstring const& text) {
  for (auto const& row : SYMLINK_MODE_NAMES) {
    if (text == string_to_wstring(row.key) || text == translated(row.message_id)) {
      return static_cast<SymlinkMode>(row.value);
    }
  }
  return SymlinkMode::FileContent;
}

void CompareItems::toggle(CompareItem item, bool on) {
  if (on) {
    items.insert(item);
  } else {
    items.erase(item);
  }
}

void CompareItems::set(std::wstring const& key, bool on) {
  if (!on) return;
  if (key == L"size") items.insert(CompareItem::Size);
  if (key == L"time") items.insert(CompareItem::Time);
  if (key == L"content") items.insert(CompareItem::Content);
}

bool is_excluded(std::wstring const& name, Exclusions const& exclusions) {
  if (name.size() >= PART_SUFFIX.size() &&
      std::wstring_view(name).substr(name.size() - PART_SUFFIX.size()) == PART_SUFFIX) {
    return true;
  }
  for (auto const& pattern : exclusions.patterns) {
    if (Utilities::util::wildmatch(name, pattern)) return true;
  }
  return false;
}

std::unique_ptr<SyncPath> FilesystemPath::clone() const {
  return std::make_unique<FilesystemPath>(*this);
}

SshPath::SshPath(SshAccount account, std::wstring const& text)
    : SyncPath(Ssh), account_(std::move(account)) {
  std::wstring prefix = string_to_wstring(account_.name()) + L":";
  path_ = text.starts_with(prefix) ? text.substr(prefix.size()) : text;
}

std::wstring SshPath::path() const { return string_to_wstring(account_.name()) + L":" + path_; }

std::unique_ptr<SyncPath> SshPath::clone() const { return std::make_unique<SshPath>(*this); }

SyncItem::SyncItem(std::wstring name, SyncItemType type, std::wstring const& source,
                   std::wstring const& target, std::wstring wildcard)
    : name(std::move(name)), type(type), wildcard(std::move(wildcard)) {
  this->source(source);
  this->target(target);
}

SyncItem::SyncItem(std::wstring name, SyncItemType type, std::wstring const& source,
                   std::wstring const& target, std::wstring wildcard, Exclusions exclusions,
                   bool delAftercopy, bool twoWaySync, bool copyWhenTargetNewer,
                   bool fatherSonPrinciple, bool enabled, CompareItems compare_items)
    : SyncItem(
          std::move(name), type, source, target, std::move(wildcard), std::move(exclusions),
          SyncFlags(delAftercopy, twoWaySync, copyWhenTargetNewer, fatherSonPrinciple, enabled),
          std::move(compare_items)) {}

SyncItem::SyncItem(std::wstring name, SyncItemType type, std::wstring const& source,
                   std::wstring const& target, std::wstring wildcard, Exclusions exclusions,
                   SyncFlags flags, CompareItems compare_items)
    : name(std::move(name)),
      type(type),
      wildcard(std::move(wildcard)),
      flags(flags),
      compare_items(std::move(compare_items)),
      exclusions(std::move(exclusions)) {
  this->source(source);
  this->target(target);
}

SyncItem::SyncItem(SyncItem const& other)
    : name(other.name),
      type(other.type),
      wildcard(other.wildcard),
      flags(other.flags),
      compare_items(other.compare_items),
      exclusions(other.exclusions),
      sync_cycle(other.sync_cycle),
      last_sync(other.last_sync),
      last_run(other.last_run),
      file_suffix(other.file_suffix),
      source_(other.source_ ? other.source_->clone() : nullptr),
      target_(other.target_ ? other.target_->clone() : nullptr) {}

SyncItem& SyncItem::operator=(SyncItem const& other) {
  if (this != &other) {
    SyncItem copy(other);
    *this = std::move(copy);
  }
  return *this;
}

std::unique_ptr<SyncPath> SyncItem::side_from_text(char const* which,
                                                   std::wstring const& text) const {
  // Made for every file of a walk: the line is only built when it is logged.
  if (Utilities::Logging::instance().should_log(LogLevel::Debug))
    Utilities::log_at(LogLevel::Debug, std::string("SyncItem::") + which +
                                           " called with: " + wstring_to_string(text));
  if (auto account = get_account_from_path(text)) {
    Utilities::log_at(LogLevel::Debug, std::string("SyncItem::") + which + ": SSH account found");
    return std::make_unique<SshPath>(std::move(*account), text);
  }
  return std::make_unique<FilesystemPath>(text);
}

void SyncItem::source(std::wstring const& text) { source_ = side_from_text("source", text); }

void SyncItem::target(std::wstring const& text) { target_ = side_from_text("target", text); }

void SyncItem::set_last_sync() {
  last_sync = std::chrono::steady_clock::now();
  Utilities::log_at(LogLevel::Debug, "SyncItem::set_last_sync", last_sync);
}

SshPath const* SyncItem::ssh_path(std::unique_ptr<SyncPath> const& side) const {
  if (!side || side->kind != SyncPath::Ssh) return nullptr;
  return static_cast<SshPath const*>(side.get());
}

SSHPATH SyncItem::ssh_path_type() const {
  int value = (ssh_path(source_) ? 1 : 0) | (ssh_path(target_) ? 2 : 0);
  return static_cast<SSHPATH>(value);
}

bool SyncItem::references_ssh_account(std::string const& account_name) const {
  for (auto const* side : {ssh_path(source_), ssh_path(target_)}) {
    if (side && side->account().name() == account_name) return true;
  }
  return false;
}

bool SyncItem::rename_ssh_account_reference(std::string const& account_name,
                                            SshAccount const& account) {
  bool changed = false;
  for (auto* side : {source_.get(), target_.get()}) {
    if (!side || side->kind != SyncPath::Ssh) continue;
    auto* remote = static_cast<SshPath*>(side);
    if (remote->account().name() != account_name) continue;
    remote->set_account(account);
    changed = true;
  }
  return changed;
}

}  // namespace KVO_Core
