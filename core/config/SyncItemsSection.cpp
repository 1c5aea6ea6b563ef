#include "core/config/SyncItemsSection.h"

#include <stdexcept>

#include "core/config/Config.h"
#include "core/config/SectionValues.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

namespace values = section_values;
using Tree = boost::property_tree::wptree;
using Utilities::util::string_to_wstring;
using Utilities::util::wstring_to_string;

bool flag_or(Tree const& section, std::wstring const& key, bool fallback) {
  auto value = values::text(section, key);
  return value ? values::is_true(*value) : fallback;
}

bool required_flag(Tree const& section, std::wstring const& key) {
  return values::is_true(values::required_text(section, key));
}

std::uint16_t number_or(Tree const& section, std::wstring const& key, wchar_t const* fallback) {
  return values::to_uint16(values::text_or(section, key, fallback), key);
}

// A side of the kind the file names. A remote side whose account is unknown keeps the account's
// name, so that its text survives the next write unchanged.
std::unique_ptr<SyncPath> side_of(std::wstring const& text, std::wstring const& kind) {
  if (kind != L"ssh") return std::make_unique<FilesystemPath>(text);
  SshAccount account = get_account(text);
  auto colon = text.find(L':');
  if (account.name().empty() && colon != std::wstring::npos && colon > 0) {
    account.set_name(wstring_to_string(text.substr(0, colon)));
  }
  return std::make_unique<SshPath>(std::move(account), text);
}

std::wstring text_of(bool value) { return value ? L"true" : L"false"; }

}  // namespace

CompareItems get_compare_items(Tree const& section) {
  CompareItems result;
  result.items.clear();
  for (auto const& [key, child] : section) {
    if (!child.empty()) continue;
    result.set(key, values::is_true(child.data()));
  }
  result.timeToleranceSeconds = number_or(section, L"timeToleranceSeconds", L"2");
  return result;
}

Exclusions get_exclusions(Tree const& section) {
  Exclusions result;
  for (auto const& child : section) {
    if (!child.second.empty()) {
      throw std::runtime_error("\"exclusions\": a pattern is not a text");
    }
    if (!child.second.data().empty()) result.patterns.push_back(child.second.data());
  }
  return result;
}

SyncFlags get_sync_flags(Tree const& section) {
  SyncFlags flags;
  flags.delAftercopy = required_flag(section, L"delAftercopy");
  flags.twoWaySync = required_flag(section, L"twoWaySync");
  flags.copyWhenTargetNewer = required_flag(section, L"copyWhenTargetNewer");
  flags.fatherSonPrinciple = required_flag(section, L"fatherSonPrinciple");
  flags.maxGenerations = number_or(section, L"maxGenerations", L"0");
  flags.encryptTarget = flag_or(section, L"encryptTarget", false);
  Schedule schedule;
  schedule.limited = flag_or(section, L"scheduleLimited", false);
  schedule.from = number_or(section, L"scheduleFrom", L"0");
  schedule.until = number_or(section, L"scheduleUntil", L"0");
  schedule.days = static_cast<std::uint8_t>(number_or(section, L"scheduleDays", L"127") & 0x7f);
  flags.schedule = schedule.normalized();
  flags.maxFileMB =
      values::to_uint32_modulo(values::text_or(section, L"maxFileMB", L"0"), L"maxFileMB");
  flags.syncDeletions = flag_or(section, L"syncDeletions", false);
  flags.backupProof = flag_or(section, L"backupProof", false);
  flags.syncEmptyFiles = flag_or(section, L"syncEmptyFiles", false);
  flags.warnIfUnreachable = flag_or(section, L"warnIfUnreachable", true);
  flags.trackMoves = flag_or(section, L"trackMoves", false);
  flags.conflictCopies = flag_or(section, L"conflictCopies", true);
  flags.watchChanges = flag_or(section, L"watchChanges", false);
  flags.symlinks = str_to_symlink_mode(values::text_or(section, L"symlinks", L""));
  flags.enabled = required_flag(section, L"enabled");
  return flags;
}

bool interpret_sync_item(Tree const& entry, SyncItem& item) {
  try {
    if (auto found = entry.find(L"compareitems"); found != entry.not_found()) {
      item.compare_items = get_compare_items(found->second);
    }
    if (auto found = entry.find(L"exclusions"); found != entry.not_found()) {
      item.exclusions = get_exclusions(found->second);
    }
    if (auto found = entry.find(L"syncflags"); found != entry.not_found()) {
      item.flags = get_sync_flags(found->second);
    }
    std::wstring name = values::required_text(entry, L"name");
    std::wstring type = values::required_text(entry, L"type");
    std::wstring source = values::required_text(entry, L"source");
    std::wstring target = values::required_text(entry, L"target");
    std::wstring wildcard = values::required_text(entry, L"wildcard");
    item.set_source(side_of(source, values::text_or(entry, L"sourceType", L"filesystem")));
    item.set_target(side_of(target, values::text_or(entry, L"targetType", L"filesystem")));
    item.name = name;
    item.type = str_to_sync_item_type(type);
    item.wildcard = wildcard;
    item.sync_cycle = values::to_uint16(values::required_text(entry, L"SyncCycle"), L"SyncCycle");
    return true;
  } catch (std::exception const& error) {
    Utilities::log_error(Utilities::translation::translate_utf8("config_read_sync_settings"),
                         std::string(error.what()));
    return false;
  }
}

void write_compare_items(SyncItem const& item, Tree& section) {
  CompareItems const& compare = item.compare_items;
  values::append(section, L"size", text_of(compare.size()));
  values::append(section, L"time", text_of(compare.time()));
  values::append(section, L"content", text_of(compare.content()));
  values::append(section, L"timeToleranceSeconds", std::to_wstring(compare.timeToleranceSeconds));
}

void write_sync_item(SyncItem const& item, Tree& entry) {
  SyncFlags const& f = item.flags;
  Tree flags;
  values::append(flags, L"delAftercopy", text_of(f.delAftercopy));
  values::append(flags, L"twoWaySync", text_of(f.twoWaySync));
  values::append(flags, L"copyWhenTargetNewer", text_of(f.copyWhenTargetNewer));
  values::append(flags, L"fatherSonPrinciple", text_of(f.fatherSonPrinciple));
  values::append(flags, L"maxGenerations", std::to_wstring(f.maxGenerations));
  values::append(flags, L"encryptTarget", text_of(f.encryptTarget));
  values::append(flags, L"maxFileMB", std::to_wstring(f.maxFileMB));
  values::append(flags, L"scheduleLimited", text_of(f.schedule.limited));
  values::append(flags, L"scheduleFrom", std::to_wstring(f.schedule.from));
  values::append(flags, L"scheduleUntil", std::to_wstring(f.schedule.until));
  values::append(flags, L"scheduleDays", std::to_wstring(f.schedule.days));
  values::append(flags, L"syncDeletions", text_of(f.syncDeletions));
  values::append(flags, L"backupProof", text_of(f.backupProof));
  values::append(flags, L"syncEmptyFiles", text_of(f.syncEmptyFiles));
  values::append(flags, L"warnIfUnreachable", text_of(f.warnIfUnreachable));
  values::append(flags, L"trackMoves", text_of(f.trackMoves));
  values::append(flags, L"conflictCopies", text_of(f.conflictCopies));
  values::append(flags, L"watchChanges", text_of(f.watchChanges));
  values::append(flags, L"symlinks", symlink_mode_key(f.symlinks));
  values::append(flags, L"enabled", text_of(f.enabled));

  Tree compare;
  write_compare_items(item, compare);

  Tree exclusions;
  for (auto const& pattern : item.exclusions.patterns) values::append(exclusions, L"", pattern);

  entry.push_back(Tree::value_type(L"compareitems", Tree()))->second.swap(compare);
  entry.push_back(Tree::value_type(L"exclusions", Tree()))->second.swap(exclusions);
  entry.push_back(Tree::value_type(L"syncflags", Tree()))->second.swap(flags);
  values::append(entry, L"name", item.name);
  values::append(entry, L"type", sync_item_type_key(item.type));
  auto side_kind = [](SyncPath const& side) {
    return side.kind == SyncPath::Ssh ? L"ssh" : L"filesystem";
  };
  if (item.source()) {
    values::append(entry, L"source", item.source()->path());
    values::append(entry, L"sourceType", side_kind(*item.source()));
  }
  if (item.target()) {
    values::append(entry, L"target", item.target()->path());
    values::append(entry, L"targetType", side_kind(*item.target()));
  }
  values::append(entry, L"wildcard", item.wildcard);
  values::append(entry, L"SyncCycle", std::to_wstring(item.sync_cycle));
}

}  // namespace KVO_Core
