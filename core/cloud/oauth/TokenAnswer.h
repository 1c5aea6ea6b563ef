// One exchange at a provider's token endpoint, shared by the token refresh and the login.
#pragma once

#include <string>

#include <boost/property_tree/ptree.hpp>

#include "core/cloud/oauth/Providers.h"
#include "utilities/FailureReasons.h"

namespace KVO_Core::oauth {

// POSTs the form (with the client id, and the secret when there is one) to the settings'
// token endpoint and returns the JSON answer of a 200. Throws http::Error: 37 for a refused
// address or an answer that is not JSON; for a JSON refusal `reason`, unless the status maps to
// another reason than 23, 37 and 6; transport failures as the request layer throws them.
boost::property_tree::ptree token_answer(Settings const& settings, std::string const& form,
                                         Utilities::FilesystemUtil::FileInfoResult reason);

}  // namespace KVO_Core::oauth
