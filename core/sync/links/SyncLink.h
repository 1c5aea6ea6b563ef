// The job of one link pair in an item that syncs links as links: inspects both places, decides
// from them, the item's flags and the remembered link target, and carries the decision out. A
// link is placed through a staging name beside its place and one rename
// (core/sync/links/PlaceLink.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/sync/SyncBase.h"

namespace KVO_Core {

class SyncLink : public SyncBase {
 public:
  // One end of the pair: its path, the root of its side and the side itself.
  struct End {
    std::wstring path;
    std::wstring root;
    Place const* side = nullptr;
  };
  struct Side {
    bool is_link = false;
    bool exists = false;
    bool is_dir = false;  // a real folder, not a link
    bool target_is_dir = false;
    std::filesystem::path target;  // portable link text; empty when not a link
  };
  enum class Action : int {
    Nothing = 0,
    Settle = 1,
    CreateInTarget = 2,
    CreateInSource = 3,
    RemoveTarget = 4,
    RemoveSource = 5,
    ResolveConflict = 6
  };

  // The per-link item names the two link paths; the tally is the parent job's and must outlive
  // this job, as must the counter and the state (may be null).
  SyncLink(SyncItem const& link_item, std::uint64_t& count, bool dry_run, LinkTally& parent_tally,
           SyncState* state, std::wstring const& source_root, std::wstring const& target_root,
           Sides const* sides = nullptr);

  void operator()() override;

  // What the place holds; none after reporting a failed inspection.
  std::optional<Side> side(End const& place) const;
  std::optional<Side> unasked(End const& place,
                              Utilities::FilesystemUtil::FileInfoResult reason) const;
  // The remembered link target of a two-way item.
  std::optional<std::filesystem::path> base() const;
  Action decide(Side const& source_side, Side const& target_side) const;
  Action decide_two_links(Side const& source_side, Side const& target_side) const;
  Action decide_target_only(Side const& target_side) const;
  void carry_out(Action action, Side const& source_side, Side const& target_side);
  void carry(Side const& from_side, End const& from, Side const& to_side, End const& to);
  // A real folder is never replaced by a link: reported, true.
  bool blocked_by_directory(Side const& to_side, End const& place) const;
  void settle(std::filesystem::path const& link_target);
  void plan(End const& place) const;
  void remove(bool target_side);
  void resolve_conflict(Side const& source_side, Side const& target_side);

  // Placing (core/sync/links/PlaceLink.cpp).
  // Makes the link at the place through its staging name; false after reporting.
  bool create(std::filesystem::path const& text, bool directory, End const& place);
  bool put_in_place(std::wstring const& staged, End const& place);
  // Moves what stands at the place aside: none when that failed (reported), empty when nothing
  // stood there, else the name it now has.
  std::optional<std::wstring> park(End const& place);
  void refused(End const& place, Utilities::FilesystemUtil::FileInfoResult reason);
  void carried(Side const& copied, End const& from, End const& to);

  LinkTally& parent_tally;
  std::wstring key;
  End source;
  End target;
};

// Lexically normalised link targets are equal.
bool same_link_target(std::filesystem::path const& a, std::filesystem::path const& b);

// Runs one link pair of the parent's walk as a guarded job; a dry run without a plan only counts.
void run_link_job(SyncBase& parent, std::wstring const& source, std::wstring const& target);

}  // namespace KVO_Core
