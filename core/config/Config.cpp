// The singleton, the file's location with its one-time move, and change detection.
#include "core/config/Config.h"

#include <cstdlib>
#include <system_error>

#include "utilities/Logging.h"
#include "utilities/NoClobber.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

std::unique_ptr<Config> Config::instance_;
std::mutex Config::instance_mutex_;

namespace {

using Utilities::LogLevel;
namespace fs = std::filesystem;

constexpr char const* FILE_NAME = "pellimoravin.json";
constexpr char const* FOLDER = "/Library/Application Support/pellimoravin/";

bool something_at(fs::path const& path) {
  std::error_code error;
  auto status = fs::symlink_status(path, error);
  // A status that cannot be read counts as taken: never move onto what we cannot see.
  if (error) return error != std::errc::no_such_file_or_directory;
  return status.type() != fs::file_type::not_found;
}

void migrate(fs::path const& old_path, fs::path const& new_path) {
  std::error_code ignored;
  fs::create_directories(new_path.parent_path(), ignored);
  std::wstring from = Utilities::from_path(old_path);
  std::wstring to = Utilities::from_path(new_path);
  Utilities::log_at(LogLevel::Info, L"rename_file", from, to);
  std::error_code error = Utilities::no_clobber::rename(old_path, new_path);
  if (!error) {
    Utilities::log_at(LogLevel::Info, Utilities::translation::translate("config_migrated_from"),
                      from, to);
  } else {
    Utilities::log_at(LogLevel::Error, Utilities::translation::translate("config_migration_failed"),
                      from, to + L": " + Utilities::util::string_to_wstring(error.message()));
  }
}

}  // namespace

Config::Config() = default;
Config::~Config() = default;

void Config::init_singleton() { instance_.reset(new Config()); }

Config* Config::instance() {
  std::lock_guard lock(instance_mutex_);
  if (!instance_) init_singleton();
  return instance_.get();
}

bool Config::exists() {
  std::lock_guard lock(instance_mutex_);
  return instance_ != nullptr;
}

void Config::unload() {
  std::unique_ptr<Config> gone;
  {
    std::lock_guard lock(instance_mutex_);
    gone = std::move(instance_);
  }
  if (gone) gone->reset();
}

void Config::reset() {
  settings.reset();
  {
    std::lock_guard lock(items_mutex);
    items.clear();
    item_file_names = {};
  }
  {
    std::lock_guard lock(accounts_mutex);
    accounts.clear();
  }
  {
    std::lock_guard lock(devices_mutex);
    devices.clear();
  }
}

std::wstring Config::get_root_pathname() {
  char const* home = std::getenv("HOME");
  // An empty HOME would put the file below the root folder.
  if (!home || !*home) return Utilities::util::string_to_wstring(FILE_NAME);
  std::string home_text = home;
  fs::path new_path(home_text + FOLDER + FILE_NAME);
  fs::path old_path(home_text + "/" + FILE_NAME);
  if (old_path != new_path && something_at(old_path) && !something_at(new_path)) {
    migrate(old_path, new_path);
  }
  return Utilities::util::string_to_wstring(new_path.string());
}

void Config::pathname(std::wstring_view path) {
  std::lock_guard lock(stamp_mutex);
  config_path_ = path;
}

std::wstring Config::config_path() const {
  std::lock_guard lock(stamp_mutex);
  return config_path_;
}

bool Config::file_changed_on_disk() const {
  std::wstring path;
  FileStamp known;
  {
    std::lock_guard lock(stamp_mutex);
    path = config_path_;
    known = file_stamp;
    // A stamp of another file says nothing about this one.
    if (stamp_path_ != config_path_) known = FileStamp{};
  }
  return file_stamp_of(Utilities::to_path(path)) != known;
}

}  // namespace KVO_Core
