// Directory items run through the item run on two real folders: snapshots of both sides, the
// state file as read back, and a walk in a given order that stands in for an unsorted listing.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/config/Config.h"
#include "core/run/SyncReport.h"
#include "core/sync/ItemRun.h"
#include "core/sync/SyncBase.h"
#include "core/sync/state/SyncStateFile.h"
#include "engine_fixture.h"

namespace dirs_test {

using namespace engine_test;
using Files = std::map<std::string, std::string>;

// Name -> content of the regular files directly in the folder.
inline Files files_in(fs::path const& folder) {
  Files files;
  std::error_code ec;
  for (auto const& entry : fs::directory_iterator(folder, ec))
    if (entry.is_regular_file())
      files[entry.path().filename().string()] = test_support::read_file(entry.path());
  return files;
}

class DirItem : public testing::Test {
 protected:
  DirItem() {
    fs::create_directories(src);
    fs::create_directories(dst);
    KVO_Core::Config::instance()->settings.update(
        [](auto& s) { s.DeleteMode = KVO_Core::DeleteMode::Permanent; });
  }

  KVO_Core::SyncItem item(KVO_Core::SyncFlags const& flags, std::wstring wildcard = L"",
                          std::vector<std::wstring> exclusions = {}) const {
    return KVO_Core::SyncItem(L"dirs", KVO_Core::SyncItemType::Directory, w(src), w(dst),
                              std::move(wildcard), KVO_Core::Exclusions(std::move(exclusions)),
                              flags, {});
  }

  KVO_Core::ItemRunResult run(KVO_Core::SyncItem const& it,
                              KVO_Core::SyncType type = KVO_Core::SyncType::Once) {
    report = KVO_Core::SyncReport{};
    KVO_Core::ItemRunOptions options;
    options.type = type;
    options.state_file = state_file;
    KVO_Core::SyncReportGuard guard(&report);
    return KVO_Core::run_item(it, count, options);
  }

  // The keys of the state file; empty when there is none.
  std::vector<std::wstring> state_keys() const {
    std::vector<std::wstring> keys;
    auto const state = KVO_Core::read_sync_state(state_file, w(src), w(dst));
    if (state)
      for (auto const& [key, value] : state->entries) keys.push_back(key);
    return keys;
  }

  test_support::TempDir dir;
  fs::path const src = dir / "src";
  fs::path const dst = dir / "dst";
  fs::path const state_file = dir / "state/dirs.tsv";
  KVO_Core::SyncReport report;
  std::uint64_t count = 0;
  Running running;
};

// Syncs the given names in this order, runs `between`, then ends the pass like a walk does.
class OrderedWalk : public KVO_Core::SyncBase {
 public:
  OrderedWalk(KVO_Core::SyncItem const& item, std::uint64_t& count, bool dry_run,
              KVO_Core::SyncState* state, std::vector<std::wstring> names,
              std::function<void()> between = {})
      : SyncBase(item, count, dry_run, state, L"", L""),
        names_(std::move(names)),
        between_(std::move(between)) {}
  void operator()() override {
    for (auto const& name : names_) sync_file(side_path(name, false), side_path(name, true), L"");
    if (between_) between_();
    finish_pass();
  }

 private:
  std::vector<std::wstring> names_;
  std::function<void()> between_;
};

}  // namespace dirs_test
