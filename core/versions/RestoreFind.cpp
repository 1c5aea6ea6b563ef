#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

#include "core/config/SyncItem.h"
#include "core/config/VolumeName.h"
#include "core/versions/BinNames.h"
#include "core/versions/GenerationName.h"
#include "core/versions/RecycleBin.h"
#include "core/versions/Restore.h"
#include "utilities/FileTime.h"
#include "utilities/Paths.h"

namespace KVO_Core::restore {

namespace fs = std::filesystem;

namespace {

struct Place {
  SyncItemType type;
  fs::path target;
  fs::path source;
};

bool local_side(std::unique_ptr<SyncPath> const& side) {
  return side && side->kind == SyncPath::Filesystem && !side->path().empty();
}

fs::path local_root(SyncPath const& side) {
  return Utilities::to_path(without_volume_spec(side.path())).lexically_normal();
}

std::optional<Place> place_of(SyncItem const& item) {
  if (!local_side(item.source()) || !local_side(item.target())) return std::nullopt;
  return Place{item.sync_item_type(), local_root(*item.target()), local_root(*item.source())};
}

// Where a path inside the place's target belongs in its source.
std::optional<fs::path> in_source(Place const& place, fs::path const& path) {
  auto relative =
      path.lexically_normal().relative_path().lexically_relative(place.target.relative_path());
  if (relative.empty() || relative == "." || *relative.begin() == "..") return std::nullopt;
  bool direct_child = std::distance(relative.begin(), relative.end()) == 1;
  switch (place.type) {
    case SyncItemType::File:
      if (direct_child && relative == place.source.filename()) return place.source;
      return std::nullopt;
    case SyncItemType::Directory:
      if (direct_child) return place.source / relative;
      return std::nullopt;
    case SyncItemType::Tree:
      return place.source / relative;
    default:
      return std::nullopt;
  }
}

// The file a generation belongs to: its name up to the last ".bak.".
fs::path replaced_file(fs::path const& generation) {
  std::string name = generation.filename().native();
  auto marker = name.rfind(".bak.");
  return generation.parent_path() / name.substr(0, marker);
}

Microseconds write_time(fs::path const& file) {
  std::error_code error;
  auto time = fs::last_write_time(file, error);
  if (error) return Microseconds{};
  return Microseconds{
      std::chrono::microseconds(Utilities::file_time::to_unix_nanoseconds(time) / 1000)};
}

std::uint64_t size_of(fs::path const& file) {
  std::error_code error;
  auto size = fs::file_size(file, error);
  return error ? 0 : size;
}

void add_bin_items(std::vector<Place> const& places, std::vector<Restorable>& found) {
  auto& bin = RecycleBin::instance();
  auto root = bin.bin_path();
  for (auto const& item : bin.list_items()) {
    fs::path stamped_path;
    auto reading = stamped_origin(item, stamped_path);
    if (!reading) continue;
    Place const* winner = nullptr;
    std::optional<fs::path> mapped;
    for (auto const& place : places) {
      auto origin = in_source(place, stamped_path);
      if (!origin) continue;
      if (!winner || place.target.native().size() > winner->target.native().size()) {
        winner = &place;
        mapped = origin;
      }
    }
    auto location = root / item;
    found.push_back({Restorable::Kind::Deleted, location,
                     mapped ? *mapped : fs::path("/") / stamped_path, reading->first,
                     size_of(location)});
  }
}

// One generation file found in a target.
void add_generation(fs::directory_entry const& entry, std::optional<Place> const& place,
                    std::vector<Restorable>& found) {
  std::error_code error;
  if (!entry.is_regular_file(error)) return;
  if (!father_son_backup(Utilities::from_path(entry.path().filename()))) return;
  auto replaced = replaced_file(entry.path());
  std::optional<fs::path> origin = place ? in_source(*place, replaced) : std::nullopt;
  found.push_back({Restorable::Kind::Replaced, entry.path(), origin ? *origin : replaced,
                   write_time(entry.path()), size_of(entry.path())});
}

void add_generations(SyncItem const& item, std::atomic<bool> const& stop,
                     std::vector<Restorable>& found) {
  if (!item.flags.fatherSonPrinciple || !local_side(item.target())) return;
  auto root = local_root(*item.target());
  auto place = place_of(item);
  auto options = fs::directory_options::skip_permission_denied;
  std::error_code error;

  if (item.sync_item_type() == SyncItemType::Tree) {
    fs::recursive_directory_iterator it(root, options, error), end;
    for (; !error && it != end; it.increment(error)) {
      if (stop.load(std::memory_order_acquire)) return;
      add_generation(*it, place, found);
    }
    return;
  }

  // A single-file item whose target is a file keeps that file's generations beside it; they
  // belong to the item's source.
  if (item.sync_item_type() == SyncItemType::File && !fs::is_directory(root, error)) {
    auto folder = root.parent_path().empty() ? fs::path(".") : root.parent_path();
    auto prefix = root.filename().native() + ".bak.";
    fs::directory_iterator it(folder, options, error), end;
    for (; !error && it != end; it.increment(error)) {
      if (stop.load(std::memory_order_acquire)) return;
      if (!it->path().filename().native().starts_with(prefix)) continue;
      auto before = found.size();
      add_generation(*it, std::nullopt, found);
      if (found.size() > before && place) found.back().origin = place->source;
    }
    return;
  }

  fs::directory_iterator it(root, options, error), end;
  for (; !error && it != end; it.increment(error)) {
    if (stop.load(std::memory_order_acquire)) return;
    add_generation(*it, place, found);
  }
}

}  // namespace

std::vector<Restorable> find(std::vector<SyncItem> const& items, std::atomic<bool> const& stop) {
  std::vector<Place> places;
  for (auto const& item : items)
    if (auto place = place_of(item)) places.push_back(*place);

  std::vector<Restorable> found;
  add_bin_items(places, found);
  for (auto const& item : items) {
    if (stop.load(std::memory_order_acquire)) break;
    add_generations(item, stop, found);
  }
  std::sort(found.begin(), found.end(),
            [](Restorable const& a, Restorable const& b) { return a.when > b.when; });
  return found;
}

bool place_known(Restorable const& restorable) { return restorable.origin.has_root_directory(); }

}  // namespace KVO_Core::restore
