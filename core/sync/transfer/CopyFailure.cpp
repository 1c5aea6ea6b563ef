#include "core/sync/transfer/CopyFailure.h"

#include "utilities/Util.h"

namespace KVO_Core {

namespace fsu = Utilities::FilesystemUtil;

SyncException::SyncException(std::wstring const& text)
    : std::runtime_error(Utilities::util::wstring_to_string(text)), text(text) {}

void read_failed(std::wstring const& path, CopyFailure& record, std::error_code const& error) {
  record.reason = fsu::reason_for_failure(error);
  record.message = fsu::failure_text(error) + L": " + path;
}

void write_failed(std::wstring const& path, CopyFailure& record, std::error_code const& error) {
  record.reason = fsu::reason_for_write_failure(error);
  record.message = fsu::failure_text(error) + L": " + path;
}

}  // namespace KVO_Core
