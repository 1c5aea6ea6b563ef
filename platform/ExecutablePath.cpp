#include "platform/ExecutablePath.h"

#include <unistd.h>

#include <string>

namespace platform {

std::filesystem::path executable_path() {
  // readlink does not say how long the target is: grow until it fits (PATH_MAX is no limit).
  std::string buffer(1024, '\0');
  while (buffer.size() <= (1u << 20)) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return std::filesystem::path(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
  return {};
}

}  // namespace platform
