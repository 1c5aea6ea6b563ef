// Tree items run through the item run on real folders: a snapshot of a whole tree (files with
// their content, folders, links with their text) and a stop flag that a test may raise.
#pragma once

#include <atomic>
#include <map>
#include <string>

#include "core/config/Config.h"
#include "core/run/SyncReport.h"
#include "core/sync/ItemRun.h"
#include "engine_fixture.h"

namespace tree_test {

using namespace engine_test;
using Tree = std::map<std::string, std::string>;

// Relative path -> file content, "/" for a folder, "-> text" for a link (never followed).
inline Tree snapshot(fs::path const& root) {
  Tree tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    std::string const relative = it->path().lexically_relative(root).generic_string();
    if (it->is_symlink())
      tree[relative] = "-> " + fs::read_symlink(it->path()).string();
    else if (it->is_directory())
      tree[relative] = "/";
    else
      tree[relative] = test_support::read_file(it->path());
  }
  return tree;
}

// Writes a tree as the snapshot shows it ("/" for a folder).
inline void fill(fs::path const& root, Tree const& tree) {
  for (auto const& [name, content] : tree) {
    if (content == "/")
      fs::create_directories(root / name);
    else
      test_support::write_file(root / name, content);
  }
}

class TreeItem : public testing::Test {
 protected:
  TreeItem() : stop_override(stop) {
    fs::create_directories(src);
    fs::create_directories(dst);
    KVO_Core::Config::instance()->settings.update(
        [](auto& s) { s.DeleteMode = KVO_Core::DeleteMode::Permanent; });
  }

  // Item names are unique per test: once-per-item warnings are process-wide.
  KVO_Core::SyncItem item(KVO_Core::SyncFlags const& flags, std::wstring wildcard = L"",
                          std::vector<std::wstring> exclusions = {}) const {
    std::string const name = testing::UnitTest::GetInstance()->current_test_info()->name();
    return KVO_Core::SyncItem(Utilities::util::string_to_wstring(name),
                              KVO_Core::SyncItemType::Tree, w(src), w(dst), std::move(wildcard),
                              KVO_Core::Exclusions(std::move(exclusions)), flags, {});
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

  test_support::TempDir dir;
  fs::path const src = dir / "src";
  fs::path const dst = dir / "dst";
  fs::path const state_file = dir / "state/tree.tsv";
  KVO_Core::SyncReport report;
  std::uint64_t count = 0;
  std::atomic<bool> stop{false};
  KVO_Core::RunContext::StopOverride stop_override;
};

}  // namespace tree_test
