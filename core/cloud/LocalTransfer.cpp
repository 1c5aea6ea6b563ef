#include "core/cloud/LocalTransfer.h"

#include <system_error>

#include "core/cloud/http/Request.h"
#include "utilities/FileTime.h"
#include "utilities/Translation.h"

namespace KVO_Core::local_transfer {

namespace {

[[noreturn]] void not_opened(std::filesystem::path const& local) {
  throw http::Error(
      Utilities::FilesystemUtil::unknown_error,
      Utilities::translation::translate_utf8("local_file_open_error") + local.string());
}

}  // namespace

void open_source(std::filesystem::path const& local, Source& source) {
  std::error_code size_error, time_error;
  source.size = std::filesystem::file_size(local, size_error);
  auto const time = std::filesystem::last_write_time(local, time_error);
  if (size_error || time_error) not_opened(local);
  source.mtime = Utilities::file_time::to_time_t(time);
  source.in.open(local, std::ios::binary);
  if (!source.in.is_open()) not_opened(local);
}

void open_target(std::filesystem::path const& local, std::ofstream& out) {
  out.open(local, std::ios::binary | std::ios::trunc);
  if (!out.is_open()) not_opened(local);
}

void close_target(std::filesystem::path const& local, std::ofstream& out, std::int64_t mtime) {
  out.close();
  // A download whose last bytes never reached the disk is no copy.
  if (out.fail())
    throw http::Error(
        Utilities::FilesystemUtil::file_info_write_error,
        Utilities::translation::translate_utf8("local_file_write_error") + local.string());
  if (mtime > 0) {
    std::error_code ignored;
    std::filesystem::last_write_time(local, Utilities::file_time::to_file_time(mtime), ignored);
  }
}

CopyResult receive(http::Request& request, std::filesystem::path const& local,
                   std::function<std::int64_t()> const& mtime) {
  std::ofstream out;
  open_target(local, out);
  request.download_to(out);
  std::optional<long> const status = request.perform();
  if (!status) {
    out.close();
    return CopyResult::Cancelled;
  }
  request.expect_success(status);
  close_target(local, out, mtime());
  return CopyResult::Done;
}

}  // namespace KVO_Core::local_transfer
