// Where the running program lies on disk.
#pragma once

#include <filesystem>

namespace platform {

// The absolute path of the running executable, read from /proc/self/exe; an empty path when the
// kernel cannot tell (no /proc mounted). Never throws.
std::filesystem::path executable_path();

}  // namespace platform
