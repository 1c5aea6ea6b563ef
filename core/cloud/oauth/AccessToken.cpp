#include "core/cloud/oauth/AccessToken.h"

#include <boost/property_tree/ptree.hpp>

#include "core/cloud/oauth/TokenAnswer.h"
#include "core/cloud/oauth/TokenSave.h"
#include "utilities/Codecs.h"

namespace KVO_Core::oauth {

namespace {

Grant exchange(SshAccount const& account, std::string const& refresh) {
  return grant_of(
      token_answer(provider_of(account).settings(),
                   "grant_type=refresh_token&refresh_token=" + Utilities::percent::encoded(refresh),
                   Utilities::FilesystemUtil::access_token_expired));
}

TokenCache& cache() {
  static TokenCache tokens([] { return std::chrono::steady_clock::now(); }, exchange,
                           save_refresh_token);
  return tokens;
}

}  // namespace

Grant grant_of(boost::property_tree::ptree const& answer) {
  Grant grant;
  grant.access_token = answer.get<std::string>("access_token");
  if (auto seconds = answer.get_optional<std::int64_t>("expires_in")) grant.expires_in = *seconds;
  grant.refresh_token = answer.get<std::string>("refresh_token", "");
  return grant;
}

std::string access_token(SshAccount const& account) { return cache().access_token(account); }

bool forget_access_token(SshAccount const& account) { return cache().forget(account); }

}  // namespace KVO_Core::oauth
