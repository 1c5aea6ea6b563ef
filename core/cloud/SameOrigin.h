// Whether two addresses lead to the same server, so a credential meant for one may go to the
// other.
#pragma once

#include <string>

namespace KVO_Core {

// Same scheme, host (letter case aside) and port, the scheme's default port filled in. False
// when either address cannot be parsed or names user information.
bool same_origin(std::string const& a, std::string const& b);

}  // namespace KVO_Core
