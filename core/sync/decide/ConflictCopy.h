// Conflict copies: the version that lost a conflict keeps its content under a conflict-copy
// name on both sides. The name is the file's folder, base name and extension with a marker of
// the date and the host put before the extension, numbered from " 2" on while a name is taken.
#pragma once

#include <optional>
#include <string>

#include "core/sync/Place.h"

namespace KVO_Core {

// The first candidate at which nothing stands on the path's side (a dangling link counts as
// taken); a remote side's host goes into the marker.
std::wstring conflict_copy_name(std::wstring const& path, Place const& side);

// The same, but a candidate counts as taken also when its file name stands in the folder of
// `other` (the other side), so that the copy can take the same name there.
std::wstring conflict_copy_name(std::wstring const& path, Place const& side,
                                std::wstring const& other, Place const& other_side);

// The candidate of number n (1: no number) for the marker.
std::wstring conflict_copy_candidate(std::wstring const& path, std::wstring const& marker,
                                     unsigned n);

// The marker text for today and the path's host.
std::wstring conflict_copy_marker(std::wstring const& path, Place const& side);

// Renames the loser on its side to a conflict-copy name that is free there and, by file name, in
// the winner's folder, never over anything; logs and notes "conflict_copy_made". The new name,
// or none after logging the failed rename.
std::optional<std::wstring> rename_to_conflict_copy(std::wstring const& loser,
                                                    Place const& loser_side,
                                                    std::wstring const& winner,
                                                    Place const& winner_side);

// Where the conflict copy `name` goes on the winner's side: its file name in the winner's folder.
std::wstring conflict_copy_counterpart(std::wstring const& winner, std::wstring const& name);

}  // namespace KVO_Core
