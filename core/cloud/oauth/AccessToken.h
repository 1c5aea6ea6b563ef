// Bearer tokens for the Google Drive, OneDrive and Dropbox accounts, whose password holds an
// OAuth refresh token. One cache for the process, keyed by account name; a refresh token that a
// provider rotates is used from then on and saved into the configuration file (at most once a
// day per name, never over a file that changed on disk since it was read).
#pragma once

#include <string>

#include <boost/property_tree/ptree.hpp>

#include "core/cloud/oauth/Providers.h"
#include "core/cloud/oauth/TokenCache.h"
#include "core/config/Accounts.h"

namespace KVO_Core::oauth {

// A bearer token for the account, exchanged at its provider's token endpoint when none is cached
// with more than 60 s left. Throws http::Error (24 "access_token_expired" when the provider
// refuses the refresh token) or the request layer's transport failures.
std::string access_token(SshAccount const& account);
// Drops the cached access token after a server refused it; true when the account (kinds 1 to 3)
// had a cache entry, so that one retry with a new token makes sense.
bool forget_access_token(SshAccount const& account);

// The grant of a token endpoint's JSON answer; a missing "access_token" throws the property
// tree's path error.
Grant grant_of(boost::property_tree::ptree const& answer);

}  // namespace KVO_Core::oauth
