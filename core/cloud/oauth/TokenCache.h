// Access tokens per account name, refreshed from the account's refresh token when missing or
// within a minute of their expiry. A refresh token that the provider rotates is kept here and
// used for the next refresh, and saved into the configuration at most once a day per name.
//
// The clock, the token exchange and the save are given by the owner, so that the process-wide
// cache (AccessToken.h) and tests share this one logic.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/config/Accounts.h"

namespace KVO_Core::oauth {

// What the token endpoint handed out for a refresh token.
struct Grant {
  std::string access_token;
  std::optional<std::int64_t> expires_in;  // seconds; none when the answer named none
  std::string refresh_token;               // empty when the provider kept the old one
};

// How saving a rotated refresh token into the configuration went.
enum class SaveOutcome {
  Saved,
  // The account is gone or holds a refresh token of another login: nothing to save.
  NotApplicable,
  // The file changed on disk since it was read, so it was not written: try again at the next
  // call, once the service has read the file again.
  Deferred,
  // The write failed otherwise (reported by the configuration): try again after the interval.
  Failed,
};

class TokenCache {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // Exchanges the refresh token for an access token; throws on failure.
  using Exchange = std::function<Grant(SshAccount const& account, std::string const& refresh)>;
  // Puts `new_token` into the named account when it holds `old_token` (or already `new_token`)
  // and writes the configuration file.
  using Save = std::function<SaveOutcome(std::string const& name, std::string const& old_token,
                                         std::string const& new_token)>;

  TokenCache(Clock clock, Exchange exchange, Save save);

  // A bearer token for the account; exchanges a refresh token when none is cached with more
  // than 60 s left. Failures of the exchange propagate and leave the cached state as it was.
  std::string access_token(SshAccount const& account);
  // Drops the cached access token of the account's name (kinds 1 to 3 only); true when the name
  // had an entry. A rotated refresh token not yet saved stays known.
  bool forget(SshAccount const& account);

 private:
  struct Entry {
    std::string token;
    std::chrono::steady_clock::time_point expires{};
    std::optional<std::chrono::steady_clock::time_point> refresh_saved;
    // The newest refresh token of this login (empty until the first exchange), and the last
    // few that the configuration held for it. An account holding none of them was logged in
    // anew, maybe to another identity: nothing cached for the old login may serve it.
    std::string newest;
    std::vector<std::string> configured;
    bool unsaved = false;  // newest is not in the configuration yet
  };

  Entry& entry_for(SshAccount const& account);
  void save_if_due(SshAccount const& account, Entry& entry);

  Clock clock_;
  Exchange exchange_;
  Save save_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

}  // namespace KVO_Core::oauth
