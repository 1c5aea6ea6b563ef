#include "core/cloud/s3/S3Address.h"

#include <vector>

#include "core/cloud/s3/SignatureV4.h"
#include "utilities/Codecs.h"
#include "utilities/Util.h"

namespace KVO_Core::s3 {

namespace {

// The host without the port its scheme implies.
std::string without_default_port(std::string const& scheme, std::string const& host) {
  // An IPv6 literal keeps its colons inside the brackets.
  std::size_t const colon = host.rfind(':');
  if (colon == std::string::npos || host.find(']', colon) != std::string::npos) return host;
  std::string const port = host.substr(colon + 1);
  if ((scheme == "https://" && port == "443") || (scheme == "http://" && port == "80"))
    return host.substr(0, colon);
  return host;
}

}  // namespace

Place place_of(std::string const& path) {
  std::vector<std::string> pieces = Utilities::util::split(path, '/');
  Place place;
  if (pieces.empty()) return place;
  place.bucket = pieces.front();
  pieces.erase(pieces.begin());
  place.key = Utilities::util::joined(pieces, "/");
  return place;
}

std::string encoded_key(std::string const& key) {
  std::string out;
  std::size_t start = 0;
  while (true) {
    std::size_t const slash = key.find('/', start);
    out += Utilities::percent::encoded(std::string_view(key).substr(start, slash - start));
    if (slash == std::string::npos) break;
    out += '/';
    start = slash + 1;
  }
  return out;
}

std::string encoded_query(std::map<std::string, std::string> const& query) {
  std::string out;
  for (auto const& [name, value] : query) {
    if (!out.empty()) out += '&';
    out += Utilities::percent::encoded(name) + "=" + Utilities::percent::encoded(value);
  }
  return out;
}

std::string base_address(SshAccount const& account) {
  return Utilities::util::without_trailing_chars(account.url, '/');
}

Address address_of(std::string const& base, Call const& call) {
  std::size_t const cut = base.find("://");
  std::string const scheme = cut == std::string::npos ? std::string() : base.substr(0, cut + 3);
  std::string const host = cut == std::string::npos ? base : base.substr(cut + 3);
  Address address;
  if (!call.bucket.empty() && without_default_port(scheme, host).ends_with(AWS_HOST_SUFFIX)) {
    address.origin = scheme + call.bucket + "." + host;
    address.host = without_default_port(scheme, call.bucket + "." + host);
    address.path = "/" + encoded_key(call.key);
    return address;
  }
  address.origin = base;
  address.host = without_default_port(scheme, host);
  address.path = "/";
  if (!call.bucket.empty()) {
    address.path += Utilities::percent::encoded(call.bucket);
    if (!call.key.empty()) address.path += "/" + encoded_key(call.key);
  }
  return address;
}

std::string url_of(Address const& address, Call const& call) {
  std::string const query = encoded_query(call.query);
  return address.origin + address.path + (query.empty() ? "" : "?" + query);
}

std::map<std::string, std::string> signed_headers(Call const& call, Address const& address,
                                                  std::string const& amz_date) {
  std::map<std::string, std::string> headers = call.headers;
  headers["host"] = address.host;
  headers["x-amz-content-sha256"] = UNSIGNED_PAYLOAD;
  headers["x-amz-date"] = amz_date;
  return headers;
}

std::string authorization(SshAccount const& account, Call const& call, Address const& address,
                          std::map<std::string, std::string> const& headers,
                          std::string const& amz_date) {
  SigningInput in;
  in.method = call.method;
  in.canonical_uri = address.path;
  in.canonical_query = encoded_query(call.query);
  in.headers = headers;
  in.payload_hash = UNSIGNED_PAYLOAD;
  in.amz_date = amz_date;
  in.region = account.region.empty() ? DEFAULT_REGION : account.region;
  in.service = "s3";
  in.key_id = account.user();
  in.secret = account.password();
  return authorization_value(in);
}

}  // namespace KVO_Core::s3
