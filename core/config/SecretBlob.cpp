#include "core/config/PasswordCrypto.h"

namespace KVO_Core::secretblob {

// Key files hold the bytes themselves; this is the one place a sealed form would go.
std::optional<std::string> protect(std::string_view bytes) { return std::string(bytes); }

std::optional<std::string> unprotect(std::string_view stored) { return std::string(stored); }

bool outdated(std::string_view) { return false; }

}  // namespace KVO_Core::secretblob
