#include "core/sync/Place.h"

#include "core/sync/LocalPlace.h"
#include "core/sync/RemotePlace.h"
#include "utilities/Util.h"

namespace KVO_Core {

ListingFailed::ListingFailed(std::wstring const& path)
    : std::runtime_error(Utilities::util::wstring_to_string(path)) {}

std::optional<ObservedFile> Place::observe(std::wstring const& path) const {
  ObservedFile seen;
  std::wstring ignored;
  if (observe(path, seen, ignored) != Standing::Present) return std::nullopt;
  return seen;
}

std::shared_ptr<Place const> place_of(SyncItem const& item, std::unique_ptr<SyncPath> const& side) {
  if (item.ssh_path(side) == nullptr) return std::make_shared<LocalPlace const>();
  return std::make_shared<RemotePlace const>(side->path());
}

Sides sides_of(SyncItem const& item) {
  return {place_of(item, item.source()), place_of(item, item.target())};
}

}  // namespace KVO_Core
