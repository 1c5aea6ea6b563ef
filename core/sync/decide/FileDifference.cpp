#include "core/sync/decide/FileDifference.h"

#include <array>

#include "core/config/Config.h"
#include "core/crypto/Age.h"
#include "core/crypto/TargetEncryption.h"
#include "core/run/RunContext.h"
#include "core/sync/LocalPlace.h"
#include "core/sync/RemotePlace.h"
#include "core/sync/decide/ReadAhead.h"
#include "core/sync/decide/SettledPairs.h"
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
using Result = FileDifference::Result;
using Side = FileDifference::Side;
using FileTime = std::filesystem::file_time_type;

namespace {

constexpr std::uint64_t CONTENT_PROGRESS_BYTES = 1000000;

std::shared_ptr<Place const> side_for(SSHPATH ssh, SSHPATH side, std::wstring const& path) {
  if (ssh == side || ssh == SSHPATH::Both) return std::make_shared<RemotePlace const>(path);
  return std::make_shared<LocalPlace const>();
}

}  // namespace

std::wstring result_name(Result result) {
  static constexpr std::array<wchar_t const*, 14> NAMES{L"Equal",
                                                        L"SourceModified",
                                                        L"DestModified",
                                                        L"DestNotExists",
                                                        L"SourceNotExits",
                                                        L"SourceDriveNotMounted",
                                                        L"DestDriveNotMounted",
                                                        L"ContentConflict",
                                                        L"SourceDeleted",
                                                        L"DestDeleted",
                                                        L"BothModified",
                                                        L"NeitherExists",
                                                        L"SourceNotReadable",
                                                        L"DestNotReadable"};
  auto const index = static_cast<std::size_t>(result);
  return index < NAMES.size() ? NAMES[index] : L"Undefined";
}

FileDifference::FileDifference(std::wstring source, std::wstring dest, CompareItems const& items,
                               SSHPATH ssh, bool two_way, FileState const* base,
                               bool target_encrypted)
    : source(std::move(source)),
      dest(std::move(dest)),
      items(items),
      ssh(ssh),
      two_way(two_way),
      target_encrypted(target_encrypted),
      base(two_way ? base : nullptr) {
  if (target_encrypted) {
    this->items.content(false);
    this->items.time(true);
  }
  if (ssh != SSHPATH::None && this->items.content()) {
    this->items.content(false);
    this->items.size(true);
    this->items.time(true);
    Utilities::log_at(
        LogLevel::Debug,
        L"content comparison is not available for SSH paths - comparing size and time instead");
  }
}

std::uint64_t FileDifference::operator()() {
  if (!sides.source) sides.source = side_for(ssh, SSHPATH::Source, source);
  if (!sides.target) sides.target = side_for(ssh, SSHPATH::Target, dest);
  ObservedFile seen;
  Side source_side = Side::Present;
  if (!source_known) {
    source_side = sides.source->observe(source, seen, error_text, &source_stamp);
    source_size = seen.size;
    source_mtime = seen.mtime;
  }
  Side target_side = Side::Present;
  if (!dest_known) {
    seen = {};
    target_side = sides.target->observe(dest, seen, error_text, &dest_stamp);
    dest_size = seen.size;
    dest_mtime = seen.mtime;
  }
  result = result_of(source_side, target_side);
  if (Utilities::Logging::instance().should_log(LogLevel::Debug))
    Utilities::log_at(LogLevel::Debug,
                      std::wstring(L"FileDifference result: ") + result_name(result));
  return source_size;
}

Result FileDifference::result_of(Side source_side, Side target_side) {
  if (source_side == Side::Unavailable) return Result::SourceDriveNotMounted;
  if (target_side == Side::Unavailable) return Result::DestDriveNotMounted;
  if (source_side == Side::Unreadable) return Result::SourceNotReadable;
  if (target_side == Side::Unreadable) return Result::DestNotReadable;
  if (source_side == Side::Missing) return source_missing(target_side == Side::Missing);
  if (target_side == Side::Missing) return dest_missing();
  result = base ? compare_with_base() : compare_metadata(source_mtime, dest_mtime);
  if (result == Result::Equal && items.content()) compare_content(source_mtime, dest_mtime);
  return result;
}

Result FileDifference::source_missing(bool target_missing) const {
  if (target_missing) return Result::NeitherExists;
  if (base && unchanged(dest_size, dest_mtime, base->target_time)) return Result::SourceDeleted;
  return Result::SourceNotExits;
}

Result FileDifference::dest_missing() const {
  if (base && unchanged(source_size, source_mtime, base->source_time)) return Result::DestDeleted;
  return Result::DestNotExists;
}

Result FileDifference::compare_with_base() const {
  bool const source_same = unchanged(source_size, source_mtime, base->source_time);
  bool const target_same = unchanged(dest_size, dest_mtime, base->target_time);
  if (source_same && target_same) return Result::Equal;
  if (source_same) return Result::DestModified;
  if (target_same) return Result::SourceModified;
  return alike() ? Result::Equal : Result::BothModified;
}

Result FileDifference::compare_metadata(FileTime source_time, FileTime target_time) const {
  if (left_encrypted()) return Result::SourceModified;
  if (items.time()) {
    if (newer(target_time, source_time)) return Result::DestModified;
    if (newer(source_time, target_time)) return Result::SourceModified;
  }
  if (target_encrypted)
    return dest_size != age::encrypted_size(source_size) ? Result::SourceModified : Result::Equal;
  if (items.size() && source_size != dest_size) {
    // Times within the tolerance say nothing of which side changed: a one-way source is the
    // authority, and a two-way pair without a remembered state is a conflict.
    if (!newer(source_time, target_time) && !newer(target_time, source_time))
      return two_way ? Result::BothModified : Result::SourceModified;
    return source_size > dest_size ? Result::SourceModified : Result::DestModified;
  }
  return Result::Equal;
}

void FileDifference::compare_content(FileTime source_time, FileTime target_time) {
  if (source_size > CONTENT_PROGRESS_BYTES)
    RunContext::set_progress_message(translate("comparing") + L"\n" + source + L"\n" +
                                         translate("comparing_with") + L"\n" + dest + L"...",
                                     L"", source_size);
  SettledPairs& settled = SettledPairs::instance();
  if (settled_item && settled.known_equal(*settled_item, source_stamp, dest_stamp)) return;
  if (read_ahead) {
    if (auto const reading = read_ahead->take(source, dest, source_stamp, dest_stamp)) {
      if (settled_item)
        settled.remember(*settled_item, reading->source, reading->target, reading->start);
      return;
    }
  }
  SettledPairs::Clock::time_point const start = settled.now();
  Utilities::FilesystemUtil::ChangeStamp opened_source;
  Utilities::FilesystemUtil::ChangeStamp opened_dest;
  auto const comparison = Utilities::FilesystemUtil::compare_content(
      source, dest, settled_item ? &opened_source : nullptr, settled_item ? &opened_dest : nullptr,
      SettledPairs::settled_before(start));
  if (comparison.equal) {
    if (settled_item) settled.remember(*settled_item, opened_source, opened_dest, start);
    return;
  }
  if (comparison.reason == 0) {
    if (!two_way)
      result = Result::SourceModified;
    else if (source_size == dest_size && !newer(source_time, target_time) &&
             !newer(target_time, source_time))
      result = Result::ContentConflict;
    else
      result = newer(target_time, source_time) ? Result::DestModified : Result::SourceModified;
    return;
  }
  result = comparison.path == source ? Result::SourceNotReadable : Result::DestNotReadable;
  error_text =
      Utilities::FilesystemUtil::make_error_message(comparison.reason) + L": " + comparison.path;
  Utilities::log_at(LogLevel::Info, error_text);
}

bool FileDifference::unchanged(std::uint64_t size, FileTime time, FileTime remembered) const {
  return base && size == base->size && !newer(time, remembered) && !newer(remembered, time);
}

bool FileDifference::newer(FileTime a, FileTime b) const {
  std::chrono::seconds const tolerance(items.timeToleranceSeconds);
  if (ssh != SSHPATH::None)
    return Utilities::file_time::to_time_t(a) >
           Utilities::file_time::to_time_t(b) + tolerance.count();
  // In 128 bits so that times near the clock's ends cannot overflow.
  __int128 const difference =
      static_cast<__int128>(a.time_since_epoch().count()) - b.time_since_epoch().count();
  return difference > std::chrono::duration_cast<FileTime::duration>(tolerance).count();
}

bool FileDifference::alike() const {
  return source_size == dest_size && !newer(source_mtime, dest_mtime) &&
         !newer(dest_mtime, source_mtime);
}

bool FileDifference::left_encrypted() const {
  if (target_encrypted || two_way || dest_size != age::encrypted_size(source_size)) return false;
  return dest_remote() || target_encryption::encrypted_file(Utilities::to_path(dest));
}

}  // namespace KVO_Core
