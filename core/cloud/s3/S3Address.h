// Where an S3 request goes and how it is signed: a remote path split into bucket and key, the
// encoded key and query, path-style or virtual-host addressing, and the request's signature.
// Pure functions; nothing is sent here.
#pragma once

#include <map>
#include <string>

#include "core/config/Accounts.h"

namespace KVO_Core::s3 {

inline constexpr char UNSIGNED_PAYLOAD[] = "UNSIGNED-PAYLOAD";
inline constexpr char DEFAULT_REGION[] = "us-east-1";
// Amazon's own endpoints; only hosts below it are addressed virtual-host style.
inline constexpr char AWS_HOST_SUFFIX[] = ".amazonaws.com";

// A remote path as bucket and key. Both empty: the account's root (its buckets). Empty key:
// the bucket itself.
struct Place {
  std::string bucket;
  std::string key;  // pieces joined by "/", no leading or trailing "/"
};

// One request as the store operations describe it.
struct Call {
  std::string method;
  std::string bucket;
  std::string key;                             // unencoded; a folder marker's ends in "/"
  std::map<std::string, std::string> query;    // unencoded
  std::map<std::string, std::string> headers;  // extra headers to send and sign, lower case
};

struct Address {
  std::string origin;  // scheme and host as they begin the URL
  std::string host;    // the signed "host" header
  std::string path;    // encoded, begins with "/"; also the canonical URI
};

// Empty pieces do not count, so leading, trailing and doubled slashes are ignored.
Place place_of(std::string const& path);
// Each piece between "/" percent-encoded; the slashes, a final one included, stay.
std::string encoded_key(std::string const& key);
// "name=value" pairs, both encoded, in the map's order, joined by "&"; empty for no parameter.
std::string encoded_query(std::map<std::string, std::string> const& query);

// The account's url without its trailing "/".
std::string base_address(SshAccount const& account);
// Where `call` goes for the base address. The signed host never carries the scheme's default
// port: libcurl leaves ":443" and ":80" off the Host line it sends.
Address address_of(std::string const& base, Call const& call);
// The URL of `call` at `address`.
std::string url_of(Address const& address, Call const& call);

// The header map to send and sign: the call's own headers, then host, x-amz-content-sha256 and
// x-amz-date replacing any of the same name.
std::map<std::string, std::string> signed_headers(Call const& call, Address const& address,
                                                  std::string const& amz_date);
// The "Authorization" value for the call, signed with the account's key id and secret.
std::string authorization(SshAccount const& account, Call const& call, Address const& address,
                          std::map<std::string, std::string> const& headers,
                          std::string const& amz_date);

}  // namespace KVO_Core::s3
