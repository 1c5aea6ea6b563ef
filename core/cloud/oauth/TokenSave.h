// The configuration side of a rotated refresh token.
#pragma once

#include <string>

#include "core/cloud/oauth/TokenCache.h"

namespace KVO_Core::oauth {

// Puts `new_token` into the named account when it still holds `old_token` (or already
// `new_token`), under the accounts' lock, and writes the file when the configuration has one.
// Deferred, with nothing changed, while the file has changed on disk since it was read or
// written here: the service reads it again, and the next call saves into what it read.
SaveOutcome save_refresh_token(std::string const& name, std::string const& old_token,
                               std::string const& new_token);

}  // namespace KVO_Core::oauth
