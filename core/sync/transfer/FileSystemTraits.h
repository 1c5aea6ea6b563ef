// What a local file system can keep of a file's times and access rights, from its type.
#pragma once

#include <chrono>
#include <filesystem>

namespace KVO_Core::fs_traits {

// The step in which the file system stores modification times: 2 s on FAT, 10 ms on exFAT,
// 1 s on HFS+ and ISO 9660, 100 ns on NTFS and SMB shares, 1 ns otherwise and when unknown.
std::chrono::nanoseconds time_granularity(std::filesystem::path const& path);

// False for file systems that keep no permission bits (FAT, exFAT, NTFS, SMB shares), where a
// refused chmod says nothing about the file; true otherwise and when unknown.
bool keeps_permissions(std::filesystem::path const& path);

}  // namespace KVO_Core::fs_traits
