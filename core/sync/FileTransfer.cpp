// First version of the file transfer: local copies are staged under "<destination>.kvo-part",
// verified against the source, stamped with its time and mode, and only then renamed over the
// destination; remote sides go through the remote copy operations. Safety copies, free-room
// checks and encrypted targets come with the full transfer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "core/control/SyncReport.h"
#include "core/control/Synchronize.h"
#include "core/remote/RemoteOps.h"
#include "core/sync/SyncFile.h"
#include "core/versions/Generations.h"
#include "core/versions/NoClobber.h"
#include "utilities/FileTime.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

using Utilities::LogLevel;
using Utilities::FilesystemUtil::FileInfoResult;
using Utilities::translation::translate;

namespace {

constexpr std::size_t BLOCK = std::size_t{1} << 20;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor const&) = delete;
  Descriptor& operator=(Descriptor const&) = delete;
  int get() const { return fd_; }
  int close() {
    int const fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

// The outcome of one staged copy: 0 done, else the reason and the path it concerns.
struct Outcome {
  FileInfoResult reason = FileInfoResult::no_failure;
  std::wstring path;
  bool cancelled = false;
};

Outcome failed(std::wstring const& path, int error = errno) {
  return {Utilities::FilesystemUtil::reason_for_write_failure(
              std::error_code(error, std::generic_category())),
          path, false};
}

// Removes the staging file when the copy does not take.
class Staging {
 public:
  explicit Staging(std::filesystem::path path) : path_(std::move(path)) {}
  ~Staging() {
    if (!kept_) ::unlink(path_.c_str());
  }
  Staging(Staging const&) = delete;
  Staging& operator=(Staging const&) = delete;
  void keep() { kept_ = true; }
  std::filesystem::path const& path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool kept_ = false;
};

int open_staging(std::filesystem::path const& staging) {
  int const flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(staging.c_str(), flags, 0600);
  if (fd < 0 && errno == EEXIST) {
    // Our own leftover of an interrupted copy: names ending in ".kvo-part" are never synced.
    struct stat old {};
    if (::lstat(staging.c_str(), &old) == 0 && (S_ISREG(old.st_mode) || S_ISLNK(old.st_mode)) &&
        ::unlink(staging.c_str()) == 0)
      fd = ::open(staging.c_str(), flags, 0600);
  }
  return fd;
}

Outcome copy_bytes(int in, int out, std::wstring const& from, std::wstring const& to) {
  std::vector<char> buffer(BLOCK);
  std::uint64_t total = 0;
  for (;;) {
    ssize_t const got = ::read(in, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return {Utilities::FilesystemUtil::reason_for_failure(
                  std::error_code(errno, std::generic_category())),
              from, false};
    }
    if (got == 0) return {};
    if (Synchronize::stopping()) return {FileInfoResult::no_failure, from, true};
    for (ssize_t done = 0; done < got;) {
      ssize_t const put = ::write(out, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return failed(to);
      }
      done += put;
    }
    total += static_cast<std::uint64_t>(got);
    Synchronize::report_copied_bytes(total);
  }
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
  bool const remote = destination == compared->target ? target_remote() : source_remote();
  if (remote && !item.flags.twoWaySync) return false;
  std::optional<ObservedFile> const now = observe_file(destination, remote);
  bool const changed = before->has_value() != now.has_value() ||
                       (now && ((*before)->size != now->size ||
                                !Utilities::file_time::equal((*before)->mtime, now->mtime)));
  if (!changed) return false;
  std::wstring const text =
      Utilities::FilesystemUtil::make_error_message(FileInfoResult::target_file_changed) + L": " +
      destination;
  Utilities::log_at(LogLevel::Error, text);
  report_sync_refusal(text, FileInfoResult::target_file_changed);
  return true;
}

bool SyncFile::copy_source_to_dest(std::wstring const& source, std::wstring const& target,
                                   std::uint64_t bytes) {
  Utilities::log_at(LogLevel::Debug, L"copy_source_to_dest: " + source + L" -> " + target);
  if (drive_not_exist(target, target_remote()) || target_changed(target)) return false;
  if (!transfer(source, target, bytes, true)) return false;
  Utilities::log_at(LogLevel::Info, translate("copied_source_to_target"), source,
                    translate("to_label"), target);
  ++count;
  report_sync_volume(bytes);
  if (moves) deleted(source, false, "source_delete_failed");
  return true;
}

bool SyncFile::copy_dest_to_source(std::wstring const& from, std::wstring const& to,
                                   std::uint64_t bytes) {
  Utilities::log_at(LogLevel::Debug, L"copy_dest_to_source: " + from + L" -> " + to);
  if (drive_not_exist(to, source_remote()) || target_changed(to)) return false;
  if (!transfer(from, to, bytes, false)) return false;
  Utilities::log_at(LogLevel::Info, translate("copied_target_to_source"), from,
                    translate("to_label"), to);
  ++count;
  report_sync_volume(bytes);
  return true;
}

bool SyncFile::transfer_remote(std::wstring const& from, std::wstring const& to, bool to_target) {
  bool const from_remote = to_target ? source_remote() : target_remote();
  bool const to_remote = to_target ? target_remote() : source_remote();
  ssh_take_failure_reason();
  CopyResult const result = from_remote && to_remote ? copy_ssh_to_ssh(from, to)
                            : from_remote            ? copy_ssh_to_fs(from, to)
                                                     : copy_fs_to_ssh(from, to);
  if (result == CopyResult::Done) return true;
  if (result == CopyResult::Cancelled) {
    Utilities::log_at(LogLevel::Info, translate("copy_cancelled"), from);
    return false;
  }
  FileInfoResult reason = ssh_take_failure_reason();
  if (reason == 0) reason = FileInfoResult::file_info_write_error;
  std::wstring const text =
      translate("copy_failed_for") + from + L" -> " + to + known_reason(reason);
  Utilities::log_at(LogLevel::Error, text);
  report_sync_refusal(text, reason);
  return false;
}

bool SyncFile::transfer(std::wstring const& from, std::wstring const& to, std::uint64_t bytes,
                        bool to_target) {
  if (ssh_sides != SSHPATH::None) return transfer_remote(from, to, to_target);
  if (item.flags.encryptTarget) {
    // Encrypted targets are written by the full transfer only; never a plain copy in their place.
    std::wstring const text = translate("encryption_failed") + L": " + to;
    Utilities::log_at(LogLevel::Error, text);
    report_sync_error(text);
    return false;
  }
  std::filesystem::path const destination = Utilities::to_path(to);
  Staging staging(std::filesystem::path(destination) += ".kvo-part");
  Outcome outcome;
  struct stat source_stat {};
  {
    Descriptor in(::open(Utilities::to_path(from).c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0 || ::fstat(in.get(), &source_stat) != 0) {
      outcome = {Utilities::FilesystemUtil::reason_for_failure(
                     std::error_code(errno, std::generic_category())),
                 from, false};
    } else if (!S_ISREG(source_stat.st_mode)) {
      outcome = {FileInfoResult::invalid_file_type, from, false};
    } else {
      Descriptor out(open_staging(staging.path()));
      if (out.get() < 0) {
        outcome = failed(Utilities::from_path(staging.path()));
      } else {
        outcome = copy_bytes(in.get(), out.get(), from, to);
        bool const replacing =
            std::filesystem::exists(std::filesystem::symlink_status(destination));
        if (outcome.reason == 0 && !outcome.cancelled &&
            (::fchmod(out.get(), source_stat.st_mode & 07777) != 0 ||
             (replacing && ::fdatasync(out.get()) != 0) || out.close() != 0))
          outcome = failed(to);
      }
    }
  }
  if (outcome.cancelled) {
    Utilities::log_at(LogLevel::Info, translate("copy_cancelled"), from);
    return false;
  }
  std::wstring const staged = Utilities::from_path(staging.path());
  if (outcome.reason == 0) {
    // The source must still be what was compared, and the staged bytes exactly the source's.
    std::optional<ObservedFile> const* before = seen(from);
    std::optional<ObservedFile> const now = observe_file(from, false);
    if (!now || (before && before->has_value() &&
                 ((*before)->size != now->size ||
                  !Utilities::file_time::equal((*before)->mtime, now->mtime))))
      outcome = {FileInfoResult::source_file_changed, from, false};
    else if (!Utilities::FilesystemUtil::files_equal(from, staged))
      outcome = {FileInfoResult::checksum_mismatch, to, false};
    else if (Utilities::FilesystemUtil::write_time_refusal(staged, now->mtime) != 0)
      time_unkept.insert(to);
  }
  if (outcome.reason == 0 && target_changed(to)) return false;
  if (outcome.reason == 0 && item.flags.fatherSonPrinciple &&
      std::filesystem::exists(std::filesystem::symlink_status(destination))) {
    std::wstring const generation = generations::next(to, false);
    if (std::error_code const ec = no_clobber::rename(destination, Utilities::to_path(generation)))
      outcome = {Utilities::FilesystemUtil::reason_for_write_failure(ec), to, false};
  }
  if (outcome.reason == 0 && ::rename(staging.path().c_str(), destination.c_str()) != 0)
    outcome = failed(to);
  if (outcome.reason != 0) {
    std::wstring const text =
        Utilities::FilesystemUtil::make_error_message(outcome.reason) + L": " + outcome.path;
    Utilities::log_at(LogLevel::Error, translate("copying_label"), from, to, text);
    if (reach_of(outcome.reason) == FailureReach::Space)
      report_sync_shortage(
          to, bytes, Utilities::FilesystemUtil::free_space(destination.parent_path()).value_or(0),
          outcome.reason);
    else
      report_sync_refusal(text, outcome.reason);
    return false;
  }
  staging.keep();
  if (time_unkept.count(to) > 0) report_sync_hint("file_times_not_supported", to);
  if (item.flags.fatherSonPrinciple) generations::prune(to, false, item.flags.maxGenerations);
  return true;
}

}  // namespace KVO_Core
