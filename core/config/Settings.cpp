#include "core/config/Settings.h"

#include <boost/property_tree/ptree.hpp>
#include <exception>

#include "core/config/SectionValues.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

namespace values = section_values;
using boost::property_tree::wptree;
using Utilities::util::string_to_wstring;
using Utilities::util::wstring_to_string;

struct BinFolder {
  std::mutex mutex;
  std::filesystem::path path;
};

BinFolder& bin_folder() {
  static BinFolder folder = [] {
    std::filesystem::path home = Utilities::FilesystemUtil::home_dir();
    return BinFolder{{},
                     home.empty() ? std::filesystem::path(".recyclebin") : home / ".recyclebin"};
  }();
  return folder;
}

}  // namespace

std::filesystem::path recycle_bin_path() {
  BinFolder& folder = bin_folder();
  std::lock_guard lock(folder.mutex);
  return folder.path;
}

void set_recycle_bin_path(std::filesystem::path const& path) {
  BinFolder& folder = bin_folder();
  std::lock_guard lock(folder.mutex);
  folder.path = path;
}

void Settings::reset() { *this = Settings{}; }

Settings SharedSettings::get() const {
  std::lock_guard lock(mutex_);
  return value_;
}

void SharedSettings::set(Settings const& value) {
  std::lock_guard lock(mutex_);
  value_ = value;
}

void SharedSettings::reset() {
  std::lock_guard lock(mutex_);
  value_.reset();
}

Settings get_settings(wptree const& section) {
  Settings s;
  s.StartMinimzed = values::is_true(values::required_text(section, L"StartMinimzed"));
  s.MinimizeInsteadOfClose =
      values::is_true(values::required_text(section, L"MinimizeInsteadOfClose"));
  s.Autostart = values::is_true(values::required_text(section, L"Autostart"));
  s.StartSyncAtStart = values::is_true(values::required_text(section, L"StartSyncAtStart"));
  s.ShowErrors = values::is_true(values::text_or(section, L"ShowErrors", L"true"));
  s.ShowWarnings = values::is_true(values::text_or(section, L"ShowWarnings", L"false"));
  s.ShowInfos = values::is_true(values::text_or(section, L"ShowInfos", L"false"));
  s.DeleteMode = values::text_or(section, L"DeleteMode", L"") == L"Permanent"
                     ? DeleteMode::Permanent
                     : DeleteMode::RecycleBin;
  s.BackupProofPath = values::text_or(section, L"BackupProofPath", L"");
  s.RecycleBinDays =
      values::to_uint16(values::text_or(section, L"RecycleBinDays", L"0"), L"RecycleBinDays");
  s.TransferLimitKB = values::to_uint32_modulo(values::text_or(section, L"TransferLimitKB", L"0"),
                                               L"TransferLimitKB");
  s.Language = wstring_to_string(values::text_or(section, L"Language", L""));
  s.EncryptionRecipient = wstring_to_string(values::text_or(section, L"EncryptionRecipient", L""));
  return s;
}

bool read_settings_section(SharedSettings& settings, wptree const& root) {
  auto found = root.find(L"Settings");
  if (found == root.not_found()) return true;
  try {
    // Both are read before anything is applied, so a bad section changes nothing.
    Settings read = get_settings(found->second);
    std::wstring bin = values::text_or(found->second, L"RecycleBinPath", L"");
    settings.set(read);
    if (!bin.empty()) set_recycle_bin_path(Utilities::to_path(bin));
    return true;
  } catch (std::exception const& e) {
    Utilities::log_error(Utilities::translation::translate_utf8("config_settings_read_error"),
                         std::string(e.what()));
    return false;
  }
}

void write_settings_section(Settings const& s, wptree& root) {
  using Utilities::util::to_string;
  wptree section;
  values::append(section, L"StartMinimzed", to_string(s.StartMinimzed));
  values::append(section, L"MinimizeInsteadOfClose", to_string(s.MinimizeInsteadOfClose));
  values::append(section, L"Autostart", to_string(s.Autostart));
  values::append(section, L"StartSyncAtStart", to_string(s.StartSyncAtStart));
  values::append(section, L"ShowErrors", to_string(s.ShowErrors));
  values::append(section, L"ShowWarnings", to_string(s.ShowWarnings));
  values::append(section, L"ShowInfos", to_string(s.ShowInfos));
  values::append(section, L"DeleteMode",
                 s.DeleteMode == DeleteMode::Permanent ? L"Permanent" : L"RecycleBin");
  values::append(section, L"RecycleBinPath", Utilities::from_path(recycle_bin_path()));
  values::append(section, L"BackupProofPath", s.BackupProofPath);
  values::append(section, L"RecycleBinDays", std::to_wstring(s.RecycleBinDays));
  values::append(section, L"TransferLimitKB", std::to_wstring(s.TransferLimitKB));
  values::append(section, L"Language", string_to_wstring(s.Language));
  values::append(section, L"EncryptionRecipient", string_to_wstring(s.EncryptionRecipient));
  root.push_back({L"Settings", std::move(section)});
}

}  // namespace KVO_Core
