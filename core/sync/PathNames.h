// Names of the engine's wide paths, local or remote, for its reports.
#pragma once

#include <memory>
#include <string>

namespace KVO_Core {

class SyncPath;

// The last name of `path`, split at "/" (a backslash is part of a name here); the whole
// path when it has none.
std::wstring entry_name_of(std::wstring const& path);
// The side's path; empty for no side.
std::wstring side_text(std::unique_ptr<SyncPath> const& side);

}  // namespace KVO_Core
