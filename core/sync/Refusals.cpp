#include "core/sync/Refusals.h"

#include "core/run/SyncReport.h"
#include "utilities/Logging.h"

namespace KVO_Core {

void report_refusal(std::wstring const& text, Utilities::FilesystemUtil::FileInfoResult reason) {
  Utilities::log_at(Utilities::LogLevel::Error, text);
  report_sync_refusal(text, reason);
}

void report_error(std::wstring const& text) {
  Utilities::log_at(Utilities::LogLevel::Error, text);
  report_sync_error(text);
}

}  // namespace KVO_Core
