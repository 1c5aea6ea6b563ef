#include "core/cloud/oauth/TokenAnswer.h"

#include <sstream>
#include <stdexcept>

#include <boost/property_tree/json_parser.hpp>

#include "core/cloud/http/Request.h"
#include "core/cloud/webdav/AddressAllowed.h"
#include "core/config/JsonDepth.h"
#include "utilities/Codecs.h"
#include "utilities/Translation.h"

namespace KVO_Core::oauth {

namespace {

using Utilities::FilesystemUtil::FileInfoResult;

std::optional<boost::property_tree::ptree> parsed(std::string const& text) {
  try {
    check_json_depth(text);
    std::istringstream stream(text);
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(stream, tree);
    return tree;
  } catch (std::exception const&) {
    return std::nullopt;
  }
}

}  // namespace

boost::property_tree::ptree token_answer(Settings const& settings, std::string const& form,
                                         FileInfoResult reason) {
  using Utilities::translation::translate_utf8;
  webdav::require_allowed(settings.token_url);
  std::string body = form + "&client_id=" + Utilities::percent::encoded(settings.client_id);
  if (!settings.client_secret.empty()) {
    body += "&client_secret=" + Utilities::percent::encoded(settings.client_secret);
  }
  http::Request request(settings.token_url, "POST");
  request.header("Content-Type: application/x-www-form-urlencoded");
  request.body(body);
  auto const status = request.perform();

  auto answer = parsed(request.response);
  if (!answer) {
    request.expect_success(status);
    throw http::Error(Utilities::FilesystemUtil::unknown_error, "the token answer is not JSON");
  }
  if (status && *status == 200) return *answer;

  auto const mapped = http::reason_of(status.value_or(0), request.response);
  if (mapped != Utilities::FilesystemUtil::authentication_failed &&
      mapped != Utilities::FilesystemUtil::unknown_error &&
      mapped != Utilities::FilesystemUtil::permission_denied) {
    reason = mapped;
  }
  auto detail = answer->get<std::string>("error_description", "");
  if (!answer->get_child_optional("error_description"))
    detail = answer->get<std::string>("error", "");
  throw http::Error(reason, translate_utf8("google_login_refused") + detail);
}

}  // namespace KVO_Core::oauth
