// Numbered backup generations of a file: "<path>.bak.<n>" beside the file. Every call lists the
// directory afresh; nothing is cached.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace KVO_Core::generations {

// The last name of `path`, split at "/" only: a backslash is an ordinary character of a name.
std::wstring file_name_of(std::wstring const& path);

inline constexpr wchar_t FATHER_SON_SUFFIX[] = L".bak.";

// Bare names of every entry of the directory that holds path (the part before its last "/").
// Local: an unreadable directory gives an empty set, a failure while stepping the names so far.
// Remote (an account name, a colon and a path): ssh_list_dir; its exceptions pass through.
std::set<std::wstring> siblings(std::wstring const& path, bool remote);

// Numbers of path's generations among the siblings ("<file name>.bak." and 1 to 18 ASCII digits,
// case-sensitive), ascending; a value spelled twice with leading zeros appears twice.
std::vector<std::uint64_t> numbers(std::wstring const& path,
                                   std::set<std::wstring> const& siblings);

// path + ".bak." + (highest recognised number + 1), or ".bak.1" when there is none; gaps stay.
std::wstring next(std::wstring const& path, std::set<std::wstring> const& siblings);
// The same after listing the siblings itself.
std::wstring next(std::wstring const& path, bool remote);

// Generation names beyond the newest keep, lowest numbers first; empty for keep 0.
std::vector<std::wstring> surplus(std::wstring const& path, std::set<std::wstring> const& siblings,
                                  std::uint16_t keep);

// Removes path's generations beyond the newest keep, each logged (Info removed, Warning not).
// keep 0 does nothing, not even a listing. Remote exceptions pass through.
void prune(std::wstring const& path, bool remote, std::uint16_t keep);

// Removes every name in order, logging each success (Info) and failure (Warning); a failure does
// not stop the loop. Returns how many were removed. Remote exceptions pass through.
std::size_t remove_all(std::vector<std::wstring> const& names, bool remote);

// path + ".bak." + n.
std::wstring generation(std::wstring const& path, std::uint64_t n);

}  // namespace KVO_Core::generations
