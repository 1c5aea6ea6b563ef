#include "utilities/SystemInfo.h"

#include <unistd.h>

namespace Utilities::system_info {

int current_pid() { return static_cast<int>(::getpid()); }

std::string host_name() {
  char buffer[256];
  if (::gethostname(buffer, sizeof buffer) != 0) return "localhost";
  // gethostname need not terminate a name that fills the buffer.
  buffer[sizeof buffer - 1] = '\0';
  std::string name(buffer);
  return name.empty() ? "localhost" : name;
}

}  // namespace Utilities::system_info
