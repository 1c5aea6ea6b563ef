// Facts about the running process and machine.
#pragma once

#include <string>

namespace Utilities::system_info {

// The process id.
int current_pid();
// The host name as the system reports it; "localhost" when it cannot be read or is empty.
std::string host_name();

}  // namespace Utilities::system_info
