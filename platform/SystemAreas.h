// Places of the operating system whose entries are not plain files: reading them blocks, never
// ends or changes the system. Symbolic links that lead there are never synchronised.
#pragma once

#include <filesystem>
#include <span>

namespace platform {

// The folders of devices, processes and kernel objects: "/dev", "/proc" and "/sys".
std::span<std::filesystem::path const> system_area_roots();

// Whether `p` (links followed) is a block or character device, a FIFO or a socket. False when it
// cannot be examined. Never throws.
bool special_file(std::filesystem::path const& p);

}  // namespace platform
