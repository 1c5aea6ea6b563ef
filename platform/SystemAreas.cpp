#include "platform/SystemAreas.h"

#include <sys/stat.h>

#include <array>

namespace platform {

std::span<std::filesystem::path const> system_area_roots() {
  static std::array<std::filesystem::path, 3> const roots{"/dev", "/proc", "/sys"};
  return roots;
}

bool special_file(std::filesystem::path const& p) {
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return false;
  return S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

}  // namespace platform
