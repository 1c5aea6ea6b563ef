#include "core/cloud/s3/S3Request.h"

#include <ctime>
#include <sstream>

#include <boost/property_tree/xml_parser.hpp>

#include "core/cloud/s3/S3Listing.h"
#include "core/cloud/s3/SignatureV4.h"
#include "core/cloud/webdav/AddressAllowed.h"

namespace KVO_Core::s3 {

namespace {

using Utilities::FilesystemUtil::FileInfoResult;

// Answers of S3 nest a few levels; anything deeper is no answer of it.
constexpr int max_xml_depth = 64;

}  // namespace

std::unique_ptr<http::Request> request_for(SshAccount const& account, Call const& call) {
  Address const address = address_of(webdav::require_allowed(base_address(account)), call);
  std::string const amz_date = amz_date_of(std::time(nullptr));
  Headers const headers = signed_headers(call, address, amz_date);
  auto request = std::make_unique<http::Request>(url_of(address, call), call.method.c_str());
  for (auto const& [name, value] : headers) {
    // libcurl writes the Host line from the URL.
    if (name != "host") request->header(name + ": " + value);
  }
  request->header("Authorization: " + authorization(account, call, address, headers, amz_date));
  request->header("Content-Type: application/octet-stream");
  return request;
}

void send(SshAccount const& account, Call const& call) {
  std::unique_ptr<http::Request> const request = request_for(account, call);
  if (call.method == "PUT") request->body("");
  std::optional<long> const status = request->perform();
  if (status && (*status < 200 || *status > 299)) fail(*request, *status);
  if (request->response.find("<Error>") != std::string::npos) fail(*request, 200);
}

boost::property_tree::ptree answered_xml(SshAccount const& account, Call const& call) {
  std::unique_ptr<http::Request> const request = request_for(account, call);
  std::optional<long> const status = request->perform();
  if (status && (*status < 200 || *status > 299)) fail(*request, *status);
  if (!xml_depth_within(request->response, max_xml_depth))
    throw http::Error(FileInfoResult::unknown_error, "S3 answer is not XML: nested too deeply");
  boost::property_tree::ptree tree;
  std::istringstream in(request->response);
  try {
    boost::property_tree::read_xml(in, tree);
  } catch (boost::property_tree::xml_parser_error const& e) {
    throw http::Error(FileInfoResult::unknown_error,
                      std::string("S3 answer is not XML: ") + e.what());
  }
  return tree;
}

void fail(http::Request const& request, long status) {
  std::string const& answer = request.response;
  std::string text = "S3 HTTP " + std::to_string(status);
  std::size_t const open = answer.find("<Message>");
  std::size_t const close = answer.find("</Message>");
  if (open != std::string::npos && close != std::string::npos && close >= open + 9)
    text += ": " + answer.substr(open + 9, close - open - 9);
  throw http::Error(http::reason_of(status, answer), text);
}

}  // namespace KVO_Core::s3
