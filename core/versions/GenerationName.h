// Whether a single name has the form of a backup generation at all; the engine's walk, pruning
// and restoring use it to find generation files in a listing.
#pragma once

#include <string>

namespace KVO_Core {

// The name's last ".bak." starts after its first character and is followed by one or more ASCII
// digits and nothing else (no bound on their count).
bool father_son_backup(std::wstring const& name);

}  // namespace KVO_Core
