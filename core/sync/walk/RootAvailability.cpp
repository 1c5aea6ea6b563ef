#include "core/sync/walk/RootAvailability.h"

#include <filesystem>
#include <utility>
#include <vector>

#include "core/config/VolumeName.h"
#include "core/run/SyncReport.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/StagingFiles.h"
#include "utilities/Translation.h"

namespace KVO_Core {

namespace {

bool missing_or_empty(std::wstring const& root) {
  std::error_code ec;
  std::filesystem::path const path = Utilities::to_path(root);
  auto const status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found) return true;
  if (ec || !std::filesystem::is_directory(status)) return false;
  // Staging leftovers of killed copies do not make a root look in use.
  std::filesystem::directory_iterator it(path, ec);
  for (std::filesystem::directory_iterator const end; !ec && it != end; it.increment(ec))
    if (!Utilities::staging::staging_name(Utilities::from_path(it->path().filename())))
      return false;
  return !ec;
}

std::optional<std::wstring> local_root(std::unique_ptr<SyncPath> const& side) {
  if (!side || side->kind == SyncPath::Ssh) return std::nullopt;
  return without_volume_spec(side->path());
}

}  // namespace

std::optional<std::wstring> unavailable_root(SyncItem const& item, SyncState const* state) {
  if (!state || state->entries.empty() || state->mass_deletion_confirmed) return std::nullopt;
  for (auto const* side : {&item.source(), &item.target()}) {
    std::optional<std::wstring> const root = local_root(*side);
    if (root && !root->empty() && missing_or_empty(*root)) return root;
  }
  return std::nullopt;
}

bool refused_for_unavailable_root(SyncItem const& item, SyncState* state) {
  std::optional<std::wstring> const root = unavailable_root(item, state);
  if (!root) return false;
  report_unavailable_root(item, *root, state);
  return true;
}

bool refused_for_empty_remote_root(SyncItem const& item, Sides const& sides,
                                   std::wstring const& source_root, std::wstring const& target_root,
                                   SyncState* state) {
  if (!state || state->entries.empty() || state->mass_deletion_confirmed) return false;
  for (auto const& [side, root] :
       {std::pair{sides.source.get(), &source_root}, std::pair{sides.target.get(), &target_root}}) {
    if (!side || !side->remote()) continue;
    PlaceListing const listed = side->list(*root);
    if (!listed.complete || !listed.entries.empty()) continue;
    report_unavailable_root(item, *root, state);
    return true;
  }
  return false;
}

void report_unavailable_root(SyncItem const& item, std::wstring const& root, SyncState* state) {
  if (state) state->keep_below(L"");
  std::wstring const text =
      Utilities::translation::translate("sync_root_unavailable", {item.name, root});
  Utilities::log_at(Utilities::LogLevel::Error, text);
  report_sync_error(text);
}

}  // namespace KVO_Core
