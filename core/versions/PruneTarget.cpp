#include "core/versions/PruneTarget.h"

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "core/config/SyncItem.h"
#include "core/config/VolumeName.h"
#include "core/remote/RemoteOps.h"
#include "core/versions/GenerationName.h"
#include "core/versions/Generations.h"
#include "utilities/Paths.h"
#include "utilities/Util.h"

namespace KVO_Core::generations {

namespace {

struct Directory {
  std::set<std::wstring> names;          // every entry, any kind
  std::vector<std::wstring> subfolders;  // real directories (not links), listing order
};

Directory list_local(std::wstring const& folder) {
  Directory listing;
  std::error_code error;
  std::filesystem::directory_iterator it(Utilities::to_path(folder), error), end;
  while (!error && it != end) {
    auto name = Utilities::from_path(it->path().filename());
    std::error_code kind_error;
    if (it->is_directory(kind_error) && !it->is_symlink(kind_error))
      listing.subfolders.push_back(name);
    listing.names.insert(std::move(name));
    it.increment(error);
  }
  return listing;
}

Directory list_remote(std::wstring const& folder) {
  Directory listing;
  for (auto const& entry : ssh_list_dir(folder)) {
    listing.names.insert(entry.name);
    if (entry.is_dir && !entry.is_link) listing.subfolders.push_back(entry.name);
  }
  return listing;
}

std::function<bool(std::wstring const&)> wanted_in(SyncItem const& item, std::wstring const& root) {
  if (item.sync_item_type() == SyncItemType::File) {
    std::wstring source_name = item.source() ? file_name_of(item.source()->path()) : L"";
    std::wstring target_name = file_name_of(root);
    return [source_name, target_name](std::wstring const& name) {
      return name == source_name || name == target_name;
    };
  }
  return [wildcard = item.wildcard, exclusions = item.exclusions](std::wstring const& name) {
    return (wildcard.empty() || Utilities::util::wildmatch(name, wildcard)) &&
           !is_excluded(name, exclusions);
  };
}

bool local_directory(std::wstring const& path) {
  std::error_code error;
  return std::filesystem::is_directory(Utilities::to_path(path), error);
}

}  // namespace

std::size_t prune_target(SyncItem const& item, std::atomic<bool> const& stop) {
  std::uint16_t keep = item.flags.maxGenerations;
  if (!item.flags.fatherSonPrinciple || keep == 0) return 0;
  if (!item.target() || item.target()->path().empty()) return 0;

  bool remote = item.target()->kind == SyncPath::Ssh;
  std::wstring root = remote ? item.target()->path() : without_volume_spec(item.target()->path());
  auto type = item.sync_item_type();
  bool root_is_directory =
      type != SyncItemType::File || (remote ? ssh_is_directory(root) : local_directory(root));
  auto wanted = wanted_in(item, root);

  std::wstring start = root;
  if (!root_is_directory) {
    auto slash = root.rfind(L'/');
    start = slash == std::wstring::npos ? std::wstring{} : root.substr(0, slash + 1);
    if (start.empty()) start = remote ? root.substr(0, root.find(L':') + 1) : L".";
  }
  // A remote path without any "/" lies in the account's home folder ("name:").
  if (!(remote && start.ends_with(L':'))) start = Utilities::util::with_trailing_char(start, L'/');
  std::vector<std::wstring> pending{start};

  std::size_t total = 0;
  while (!pending.empty()) {
    if (stop.load(std::memory_order_acquire)) break;
    auto folder = std::move(pending.back());
    pending.pop_back();
    auto listing = remote ? list_remote(folder) : list_local(folder);

    std::set<std::wstring> bases;
    for (auto const& name : listing.names)
      if (father_son_backup(name)) bases.insert(name.substr(0, name.rfind(FATHER_SON_SUFFIX)));
    for (auto const& base : bases) {
      if (!wanted(base)) continue;
      auto names = surplus(folder + base, listing.names, keep);
      if (!names.empty()) total += remove_all(names, remote);
    }

    if (type == SyncItemType::Tree)
      for (auto const& sub : listing.subfolders)
        if (!is_excluded(sub, item.exclusions)) pending.push_back(folder + sub + L"/");
  }
  return total;
}

}  // namespace KVO_Core::generations
