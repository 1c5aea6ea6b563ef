// A real pass of one file item with its own report, stop flag and (for two-way items) state.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <optional>

#include "core/config/Config.h"
#include "core/run/SyncReport.h"
#include "core/sync/SyncFile.h"
#include "core/sync/state/SyncState.h"
#include "engine_fixture.h"
#include "utilities/Translation.h"

namespace transfer_test {

using namespace engine_test;

class TransferPass : public testing::Test {
 protected:
  TransferPass() : override_(stop_) {
    KVO_Core::Config::instance()->settings.update(
        [](auto& s) { s.DeleteMode = KVO_Core::DeleteMode::Permanent; });
  }

  void pass(KVO_Core::SyncItem const& item, KVO_Core::SyncState* state = nullptr) {
    KVO_Core::SyncReportGuard guard(&report);
    KVO_Core::SyncFile(item, count, false, false, state, L"", L"")();
  }

  static mode_t mode_of(fs::path const& file) {
    struct stat st {};
    ::lstat(file.c_str(), &st);
    return st.st_mode & 07777;
  }

  // Every entry of the folder whose name ends in ".kvo-part" or ".bak" (leftovers of a copy).
  static std::size_t leftovers(fs::path const& folder) {
    std::size_t n = 0;
    for (auto const& entry : fs::directory_iterator(folder)) {
      auto const name = entry.path().filename().string();
      if (name.ends_with(".kvo-part") || name.ends_with(".bak")) ++n;
    }
    return n;
  }

  test_support::TempDir dir;
  std::atomic<bool> stop_{false};
  KVO_Core::RunContext::StopOverride override_;
  KVO_Core::SyncReport report;
  std::uint64_t count = 0;
};

}  // namespace transfer_test
