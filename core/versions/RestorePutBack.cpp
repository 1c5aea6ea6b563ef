#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "core/crypto/TargetEncryption.h"
#include "core/versions/RecycleBin.h"
#include "core/versions/Restore.h"
#include "utilities/Logging.h"
#include "utilities/NoClobber.h"
#include "utilities/Paths.h"
#include "utilities/StagingFiles.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core::restore {

namespace fs = std::filesystem;
using Utilities::LogLevel;

namespace {

constexpr int MAX_NUMBERED_NAMES = 10000;

std::wstring system_message(std::error_code const& error) {
  return Utilities::util::string_to_wstring(error.message());
}

bool taken(fs::path const& path) {
  std::error_code error;
  auto status = fs::symlink_status(path, error);
  return !error && status.type() != fs::file_type::not_found;
}

std::string local_minutes(Microseconds when) {
  auto seconds = std::chrono::system_clock::to_time_t(
      std::chrono::time_point_cast<std::chrono::system_clock::duration>(when));
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H-%M", &local);
  return text;
}

// into/name when free, else "<stem> (<date time>)<ext>", then with " 2", " 3", ... before the
// extension; none when every candidate is taken.
std::optional<fs::path> free_destination(fs::path const& into, fs::path const& name,
                                         Microseconds when) {
  if (!taken(into / name)) return into / name;
  auto label = name.stem().native() + " (" + local_minutes(when) + ")";
  auto extension = name.extension().native();
  if (!taken(into / (label + extension))) return into / (label + extension);
  for (int n = 2; n < MAX_NUMBERED_NAMES; ++n) {
    auto candidate = into / (label + " " + std::to_string(n) + extension);
    if (!taken(candidate)) return candidate;
  }
  return std::nullopt;
}

// Copies a plain generation under a staging name and moves it onto destination without
// replacing anything; the destination's write time becomes now.
bool copy_generation(fs::path const& location, fs::path const& destination) {
  auto staging = Utilities::no_clobber::staging_name(destination);
  // A walk meanwhile must not take it for a leftover.
  Utilities::staging::Claim const claim(staging);
  std::error_code error;
  fs::copy_file(location, staging, fs::copy_options::none, error);
  if (!error) error = Utilities::no_clobber::rename(staging, destination);
  if (error) {
    std::error_code ignored;
    fs::remove(staging, ignored);
    Utilities::Logging::instance().log(
        LogLevel::Error, Utilities::translation::translate("copying_label"),
        Utilities::from_path(location), Utilities::from_path(destination), system_message(error));
    return false;
  }
  fs::last_write_time(destination, fs::file_time_type::clock::now(), error);
  return true;
}

// none: no age file, or no key opens it; true: decrypted into destination; false: failed (logged).
std::optional<bool> decrypted(fs::path const& copy, fs::path const& destination) {
  if (!target_encryption::encrypted_file(copy)) return std::nullopt;
  // Decrypted under a staging name and moved in without replacing: a file that appears at the
  // destination meanwhile is neither truncated nor removed.
  auto staging = Utilities::no_clobber::staging_name(destination);
  Utilities::staging::Claim const claim(staging);
  auto result = target_encryption::decrypt_file(copy, staging, {});
  std::error_code ignored;
  if (result == age::WrongKey) {
    fs::remove(staging, ignored);
    return std::nullopt;
  }
  if (result != age::Ok) {
    fs::remove(staging, ignored);
    Utilities::Logging::instance().log(
        LogLevel::Error, target_encryption::message(result) + L": " + Utilities::from_path(copy));
    return false;
  }
  if (auto error = Utilities::no_clobber::rename(staging, destination)) {
    fs::remove(staging, ignored);
    Utilities::Logging::instance().log(
        LogLevel::Error, Utilities::translation::translate("copying_label"),
        Utilities::from_path(copy), Utilities::from_path(destination), system_message(error));
    return false;
  }
  return true;
}

}  // namespace

std::optional<fs::path> put_back(Restorable const& restorable, fs::path const& into) {
  std::error_code error;
  fs::create_directories(into, error);
  if (error) {
    Utilities::Logging::instance().log(
        LogLevel::Error, Utilities::translation::translate("restore_dir_not_creatable"),
        Utilities::from_path(into), system_message(error));
    return std::nullopt;
  }
  auto destination = free_destination(into, restorable.origin.filename(), restorable.when);
  if (!destination) {
    Utilities::Logging::instance().log(
        LogLevel::Error, Utilities::translation::translate("recycle_bin_target_exists"),
        Utilities::from_path(into / restorable.origin.filename()));
    return std::nullopt;
  }

  if (restorable.kind == Restorable::Kind::Replaced) {
    auto done = decrypted(restorable.location, *destination);
    if (!done && !copy_generation(restorable.location, *destination)) return std::nullopt;
    if (done && !*done) return std::nullopt;
  } else {
    auto& bin = RecycleBin::instance();
    auto relative = restorable.location.lexically_relative(bin.bin_path());
    auto done = decrypted(restorable.location, *destination);
    if (!done) {
      if (!bin.take_item(relative, *destination)) return std::nullopt;
    } else if (!*done) {
      return std::nullopt;
    } else if (!bin.remove_item(relative)) {
      // The file is back; failing now would only make a second dated copy on a retry.
      Utilities::Logging::instance().log(LogLevel::Warning,
                                         Utilities::translation::translate("restore_bin_item_kept"),
                                         Utilities::from_path(restorable.location));
    }
  }
  Utilities::Logging::instance().log(
      LogLevel::Info, Utilities::translation::translate("restore_done"),
      Utilities::from_path(restorable.location), Utilities::from_path(*destination));
  return destination;
}

}  // namespace KVO_Core::restore
