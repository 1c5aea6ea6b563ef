// Copying one file of a pair onto the other side. A local destination is never written under its
// own name: the bytes go to "<destination>.kvo-part", which is verified against the source,
// given its rights and time, synced when it replaces a file, and only then renamed over the
// destination (the old one first becoming its next backup generation where the item keeps
// them). Whatever fails, is stopped or crashes before that rename leaves the old destination
// as it was; only the staging file is removed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/crypto/Age.h"
#include "core/crypto/TargetEncryption.h"
#include "core/run/SyncReport.h"
#include "core/sync/SyncFile.h"
#include "core/sync/transfer/FileTimes.h"
#include "core/sync/transfer/LocalBlockCopy.h"
#include "core/versions/Generations.h"
#include "core/versions/ParkGeneration.h"
#include "platform/FileDescriptor.h"
#include "utilities/FileTime.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/NoClobber.h"
#include "utilities/Paths.h"
#include "utilities/StagingFiles.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

namespace fsu = Utilities::FilesystemUtil;
using Utilities::LogLevel;
using Utilities::translation::translate;

namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

bool differs(ObservedFile const& a, ObservedFile const& b) {
  return a.size != b.size || !Utilities::file_time::equal(a.mtime, b.mtime);
}

// The remote folder of a path: through its last "/", else the account prefix ("name:").
std::wstring remote_folder_of(std::wstring const& path) {
  std::size_t const slash = path.rfind(L'/');
  if (slash != std::wstring::npos) return path.substr(0, slash + 1);
  std::size_t const colon = path.find(L':');
  return colon == std::wstring::npos ? std::wstring() : path.substr(0, colon + 1);
}

}  // namespace

// Removes the staging file unless the copy took.
class Staging {
 public:
  // local_copy: the bytes come from staged_copy, which removes a leftover itself when it meets
  // one, so no call is spent looking for one first.
  Staging(std::wstring const& destination, bool local_copy)
      : name_(Utilities::staging::staging_path(destination)),
        path_(Utilities::to_path(name_)),
        claim_(path_) {
    if (local_copy) return;
    // A leftover of a copy that a crash cut short; names ending in ".kvo-part" are our own.
    struct stat old {};
    if (::lstat(path_.c_str(), &old) == 0 && (S_ISREG(old.st_mode) || S_ISLNK(old.st_mode)))
      ::unlink(path_.c_str());
  }
  ~Staging() {
    if (!placed_) ::unlink(path_.c_str());
  }
  Staging(Staging const&) = delete;
  Staging& operator=(Staging const&) = delete;

  std::wstring const& name() const { return name_; }
  std::filesystem::path const& path() const { return path_; }
  // The local copy's open files (nothing open for the other routes).
  StagedCopy& copy() { return copy_; }
  void placed() { placed_ = true; }

 private:
  StagedCopy copy_;
  std::wstring name_;
  std::filesystem::path path_;
  Utilities::staging::Claim claim_;
  bool placed_ = false;
};

namespace {

// The failure texts name the destination, not its staging name.
void name_destination(CopyFailure& failure, std::wstring const& staged, std::wstring const& to) {
  if (failure.message.size() >= staged.size() &&
      failure.message.compare(failure.message.size() - staged.size(), staged.size(), staged) == 0)
    failure.message.replace(failure.message.size() - staged.size(), staged.size(), to);
}

std::error_code datasynced(int fd) {
  return ::fdatasync(fd) == 0 ? std::error_code() : last_error();
}

// Data of a file that replaces another must be on disk before the rename makes it visible.
std::error_code synced(std::filesystem::path const& path) {
  platform::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file || ::fdatasync(file.get()) != 0) return last_error();
  if (int const error = file.close(); error != 0) return {error, std::generic_category()};
  return {};
}

}  // namespace

std::optional<ObservedFile> const* SyncFile::seen(std::wstring const& path) const {
  if (!compared) return nullptr;
  if (path == compared->source) return &compared->source_seen;
  if (path == compared->target) return &compared->target_seen;
  return nullptr;
}

bool SyncFile::target_changed(std::wstring const& destination) const {
  std::optional<ObservedFile> const* before = seen(destination);
  if (!before) return false;
  Place const& side = side_of(destination);
  if (!side.remote()) {
    // A local copy onto a destination found missing is placed by a rename that replaces
    // nothing (placed_new): that rename is the look at whether a file arrived meanwhile.
    Place const& other = &side == &source_side() ? target_side() : source_side();
    if (!before->has_value() && !other.remote() && !item.flags.encryptTarget) return false;
    return changed_while_staging(destination);
  }
  if (!item.flags.twoWaySync) return false;
  return changed_since(*before, destination, side.observe(destination));
}

bool SyncFile::changed_while_staging(std::wstring const& destination, bool lstat_found) const {
  std::optional<ObservedFile> const* before = seen(destination);
  if (!before) return false;
  // What observing would give, without its lines and its volume search for a destination that
  // is still missing: a path that stat cannot find is no file either way, nor one that lstat
  // could not find.
  struct stat st {};
  std::optional<ObservedFile> now;
  if (lstat_found && ::stat(Utilities::to_path(destination).c_str(), &st) == 0)
    now = side_of(destination).observe(destination);
  return changed_since(*before, destination, now);
}

bool SyncFile::changed_since(std::optional<ObservedFile> const& before,
                             std::wstring const& destination,
                             std::optional<ObservedFile> const& now) const {
  bool const changed = before.has_value() != now.has_value() || (now && differs(*before, *now));
  return changed && refused(destination, fsu::target_file_changed);
}

bool SyncFile::copy_source_to_dest(std::wstring const& source, std::wstring const& target,
                                   std::uint64_t bytes) {
  Utilities::log_at(LogLevel::Debug, L"copy_source_to_dest: " + source + L" -> " + target);
  if (drive_not_exist(target, target_side()) || copy_refused(source, target, bytes) ||
      target_changed(target))
    return false;
  if (!guarded_copy(source, target, false)) return false;
  Utilities::log_at(LogLevel::Info, translate("copied_source_to_target"), source,
                    translate("to_label"), target);
  ++count;
  report_sync_volume(bytes);
  if (moves) deleted(source, source_side(), "source_delete_failed");
  return true;
}

bool SyncFile::copy_dest_to_source(std::wstring const& from, std::wstring const& to,
                                   std::uint64_t bytes) {
  Utilities::log_at(LogLevel::Debug, L"copy_dest_to_source: " + from + L" -> " + to);
  if (drive_not_exist(to, source_side()) || copy_refused(from, to, bytes) || target_changed(to))
    return false;
  if (!guarded_copy(from, to, true)) return false;
  Utilities::log_at(LogLevel::Info, translate("copied_target_to_source"), from,
                    translate("to_label"), to);
  ++count;
  report_sync_volume(bytes);
  return true;
}

bool SyncFile::guarded_copy(std::wstring const& from, std::wstring const& to, bool back) {
  std::optional<std::wstring> generation;
  bool done = false;
  try {
    generation = pre_copy(to);
    done = save_copy_file(from, to, back);
  } catch (std::filesystem::filesystem_error const& e) {
    fsu::handle_last_error(e);
    report_sync_error(Utilities::util::string_to_wstring(e.what()));
  } catch (std::exception const& e) {
    std::wstring const what = Utilities::util::string_to_wstring(e.what());
    Utilities::log_at(LogLevel::Error, translate("copying_label"), from, to, what);
    report_sync_error(what);
  } catch (...) {
    Utilities::log_at(LogLevel::Error, translate("copying_label"), from, to,
                      translate("unknown_error"));
    report_sync_error(translate("unknown_copy_error") + from + L" -> " + to);
  }
  if (generation) {
    // Only a replaced file makes room among the generations; after a failed or stopped copy
    // the old file takes its own name again.
    if (done)
      generations::prune(to, true, item.flags.maxGenerations);
    else if (PlaceFailure failure; !side_of(to).exists(to) &&
                                   side_of(to).rename(*generation, to, failure) != Renamed::Done)
      Utilities::log_at(
          LogLevel::Error,
          translate("rename_error", {translate("remote_rename_error"), *generation, to}));
  }
  return done;
}

std::optional<std::wstring> SyncFile::pre_copy(std::wstring const& destination) {
  // A local destination becomes its generation only once its replacement is verified, right
  // before the replacement takes its name (save_copy_file).
  Place const& side = side_of(destination);
  if (!side.remote() || !item.flags.fatherSonPrinciple) return std::nullopt;
  Utilities::log_at(LogLevel::Debug, L"move_remote_file_to_backup: " + destination);
  PlaceListing const listing = side.list(remote_folder_of(destination));
  std::set<std::wstring> names;
  for (PlaceEntry const& entry : listing.entries) names.insert(entry.name);
  // Without a full listing the next number is a guess that could hit an older generation.
  if (!listing.complete)
    throw SyncException(
        translate("rename_error", {fsu::make_error_message(listing.failure.reason), destination,
                                   generations::next(destination, names)}));
  if (names.count(generations::file_name_of(destination)) == 0) return std::nullopt;
  std::wstring const generation = generations::next(destination, names);
  PlaceFailure failure;
  if (side.rename(destination, generation, failure) != Renamed::Done)
    throw SyncException(
        translate("rename_error", {translate("remote_rename_error"), destination, generation}));
  return generation;
}

bool SyncFile::save_copy_file(std::wstring const& from, std::wstring const& to, bool back) {
  Utilities::log_at(LogLevel::Debug, "save_copy_file");
  Place const& from_side = side_of(from);
  Place const& to_side = side_of(to);
  std::optional<ObservedFile> const* before = seen(from);
  std::optional<ObservedFile> const source_seen = before ? *before : from_side.observe(from);
  copied_from.reset();
  // A local destination is written under its staging name; a remote store stages its writes
  // itself and publishes them as the last step of the transfer.
  bool const local_copy = !from_side.remote() && !to_side.remote() && !item.flags.encryptTarget;
  std::optional<Staging> staging;
  if (!to_side.remote()) staging.emplace(to, local_copy);
  std::wstring const& written = staging ? staging->name() : to;
  CopyResult result;
  if (local_copy) {
    failure = CopyFailure{};
    StagedCopy& copy = staging->copy();
    if (opened_source && opened_source->first == from) copy = std::move(opened_source->second);
    opened_source.reset();
    result = staged_copy(from, written, copy, failure);
  } else {
    result = transfer(from_side, from, to_side, written);
  }
  // A failed or stopped transfer did not touch the old destination: it stays.
  if (result == CopyResult::Cancelled) {
    Utilities::log_at(LogLevel::Info, translate("copy_cancelled"), from);
    return false;
  }
  if (result == CopyResult::Failed) {
    name_destination(failure, written, to);
    report_failed_copy(from, to);
    return false;
  }
  // The bytes read back from the staging file equal those read from the source: with the
  // source still as compared, that is the verification.
  bool const verified =
      staging && staging->copy().verified && source_seen &&
      source_seen->size == static_cast<std::uint64_t>(staging->copy().source_status.st_size);
  if (fsu::FileInfoResult const fault =
          verified ? source_change(from, source_seen) : copy_fault(from, written, source_seen)) {
    report_verification_fault(from, to, fault);
    // After 26 a published copy is still a whole file; a wrong size is not.
    if (!staging && fault != fsu::source_file_changed && to_side.exists(to))
      to_side.remove_file(to);
    return false;
  }
  bool const done = !staging || publish_staged(from, to, *staging, source_seen, back);
  if (done && source_seen) copied_from.emplace(from, *source_seen);
  return done;
}

bool SyncFile::publish_staged(std::wstring const& from, std::wstring const& to, Staging& staging,
                              std::optional<ObservedFile> const& source_seen, bool back) {
  Place const& from_side = side_of(from);
  Place const& to_side = side_of(to);
  std::filesystem::path const destination = Utilities::to_path(to);
  // A local copy leaves its file open: rights, time and sync go to the descriptor.
  StagedCopy& copy = staging.copy();
  bool const open = static_cast<bool>(copy.written);
  // A copy from a remote side brings its rights and time from the store.
  if (!from_side.remote()) {
    if (open)
      carry_rights(to, staging.name(), copy);
    else
      carry_rights(from, to, staging.name());
    std::optional<ObservedFile> const stamp = source_seen ? source_seen : from_side.observe(from);
    if (stamp) {
      fsu::FileInfoResult const reason =
          back   ? set_last_write_time(staging.path(), stamp->mtime, true)
          : open ? fsu::write_time_refusal(copy.written.get(), stamp->mtime)
                 : to_side.set_time(staging.name(), stamp->mtime).reason;
      time_refused(to, reason);
    }
  }
  // A destination the comparison found missing is placed without replacing anything: should a
  // file have arrived there meanwhile, the rename fails instead of looking for it first.
  std::optional<ObservedFile> const* before = seen(to);
  bool const new_file = open && before && !before->has_value();
  bool const replacing = !new_file && to_side.exists(to);
  if (replacing) {
    if (std::error_code const error =
            open ? datasynced(copy.written.get()) : synced(staging.path())) {
      write_failed(to, failure, error);
      report_failed_copy(from, to);
      return false;
    }
  }
  // A late write error of the file system shows at the latest here.
  if (int const error = copy.written.close(); error != 0) {
    write_failed(to, failure, {error, std::generic_category()});
    report_failed_copy(from, to);
    return false;
  }
  if (new_file) return placed_new(from, to, staging);
  // The user may have changed the destination while the copy ran: that change is kept.
  if (changed_while_staging(to, replacing)) return false;
  std::wstring parked;
  if (replacing && item.flags.fatherSonPrinciple) {
    Utilities::log_at(LogLevel::Debug, L"move_file_to_backup: " + to);
    if (fsu::FileInfoResult const reason = generations::park_refusal(to, parked); reason != 0)
      throw SyncException(translate(
          "rename_error", {fsu::make_error_message(reason), to, generations::next(to, false)}));
  }
  if (PlaceFailure const published = to_side.publish(staging.name(), to, true)) {
    // The old destination takes its name back: a failed copy never leaves it only as a
    // generation.
    if (!parked.empty()) Utilities::no_clobber::rename(Utilities::to_path(parked), destination);
    failure = {published.reason, published.detail + L": " + to};
    report_failed_copy(from, to);
    return false;
  }
  staging.placed();
  if (!replacing) note_unsynced(to);
  // Only a new generation can take the count over the limit; a new file costs no listing of its
  // folder (the item's periodic prune still trims generations left from earlier limits).
  if (!parked.empty()) generations::prune(to, false, item.flags.maxGenerations);
  return true;
}

bool SyncFile::placed_new(std::wstring const& from, std::wstring const& to, Staging& staging) {
  std::error_code const error =
      Utilities::no_clobber::rename(staging.path(), Utilities::to_path(to));
  if (error == std::errc::file_exists) return !refused(to, fsu::target_file_changed);
  if (error) {
    failure = {fsu::reason_for_write_failure(error), fsu::failure_text(error) + L": " + to};
    report_failed_copy(from, to);
    return false;
  }
  staging.placed();
  note_unsynced(to);
  return true;
}

void SyncFile::note_unsynced(std::wstring const& placed) const {
  if (state)
    state->unsynced_folders.insert(Utilities::from_path(Utilities::to_path(placed).parent_path()));
}

void SyncFile::report_verification_fault(std::wstring const& from, std::wstring const& to,
                                         fsu::FileInfoResult fault) const {
  Utilities::log_at(LogLevel::Error, translate("copying_label"), from, to,
                    translate("copy_verification_differs"));
  report_sync_refusal(
      fsu::make_error_message(fault) + L": " + (fault == fsu::source_file_changed ? from : to),
      fault);
}

fsu::FileInfoResult SyncFile::copy_fault(std::wstring const& from, std::wstring const& to,
                                         std::optional<ObservedFile> const& source_seen) const {
  Place const& from_side = side_of(from);
  Place const& to_side = side_of(to);
  if (fsu::FileInfoResult const changed = source_change(from, source_seen)) return changed;
  if (from_side.remote() || to_side.remote()) {
    std::optional<ObservedFile> const written = to_side.observe(to);
    if (!written) return source_seen ? fsu::file_size_mismatch : fsu::no_failure;
    if (!source_seen) return fsu::no_failure;
    std::uint64_t const expected =
        item.flags.encryptTarget ? age::encrypted_size(source_seen->size) : source_seen->size;
    return written->size == expected ? fsu::no_failure : fsu::file_size_mismatch;
  }
  if (item.flags.encryptTarget) return encrypted_copy_fault(from, to);
  if (fsu::files_equal(from, to)) return fsu::no_failure;
  std::error_code ignored;
  auto const from_size = std::filesystem::file_size(Utilities::to_path(from), ignored);
  auto const to_size = std::filesystem::file_size(Utilities::to_path(to), ignored);
  return from_size == to_size ? fsu::checksum_mismatch : fsu::file_size_mismatch;
}

fsu::FileInfoResult SyncFile::source_change(std::wstring const& from,
                                            std::optional<ObservedFile> const& source_seen) const {
  if (!source_seen) return fsu::no_failure;
  std::optional<ObservedFile> const now = side_of(from).observe(from);
  return !now || differs(*source_seen, *now) ? fsu::source_file_changed : fsu::no_failure;
}

fsu::FileInfoResult SyncFile::encrypted_copy_fault(std::wstring const& from,
                                                   std::wstring const& to) const {
  std::error_code from_error;
  std::error_code to_error;
  auto const plain = Utilities::to_path(from);
  auto const encrypted = Utilities::to_path(to);
  auto const from_size = std::filesystem::file_size(plain, from_error);
  auto const to_size = std::filesystem::file_size(encrypted, to_error);
  if (from_error || to_error || to_size != age::encrypted_size(from_size))
    return fsu::file_size_mismatch;
  auto const [equal, decided] = target_encryption::holds(encrypted, plain);
  return decided && !equal ? fsu::checksum_mismatch : fsu::no_failure;
}

}  // namespace KVO_Core
