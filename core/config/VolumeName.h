// The volume-name form of a local side: a volume's name, a blank, its root in parentheses and the
// rest of the path, e.g. "Backup (E:)/photos". Every file-system use of an item's side text goes
// through without_volume_spec first.
#pragma once

#include <string>

namespace KVO_Core {

// The first "(" comes before the first ":" (both present).
bool path_contains_volume_name(std::wstring const& path);
// The text before the blank that precedes the first "("; empty for a plain path.
std::wstring volume_name(std::wstring const& path);
// The text between the first "(" and the next ")"; for a plain path its root name (always empty
// here). Throws std::runtime_error ("invalid_path" translated, then the path) for a volume-name
// path without a ")" after its "(".
std::wstring root_name(std::wstring const& path);
// The root followed by the rest for a volume-name path whose root ends in ":" right before the
// ")" (a drive root such as "E:"); every other path unchanged, so a folder such as
// "Meeting (2023-01-05 10:00)" stays as it is. Never throws.
std::wstring without_volume_spec(std::wstring const& path);

}  // namespace KVO_Core
