// AWS Signature Version 4 (AWS4-HMAC-SHA256) of one request, made from its already encoded parts.
// Pure functions over their arguments; the signing key is derived anew for every call.
#pragma once

#include <ctime>
#include <map>
#include <string>

namespace KVO_Core::s3 {

struct SigningInput {
  std::string method;
  std::string canonical_uri;    // the URL's path, encoded exactly as sent
  std::string canonical_query;  // the URL's query, encoded and sorted, without "?"
  // Every signed header, names in lower case; the map's order is the signing order.
  std::map<std::string, std::string> headers;
  std::string payload_hash;  // hex SHA-256 of the body, or "UNSIGNED-PAYLOAD"
  std::string amz_date;      // "YYYYMMDDTHHMMSSZ"
  std::string region;
  std::string service;
  std::string key_id;
  std::string secret;
};

// The request time as AWS writes it, in UTC: "%Y%m%dT%H%M%SZ".
std::string amz_date_of(std::time_t when);

// Lower-case hex SHA-256 of the bytes.
std::string sha256_hex(std::string const& bytes);
// HMAC-SHA-256 of `data` under `key`, raw bytes.
std::string hmac_sha256(std::string const& key, std::string const& data);

std::string canonical_request(SigningInput const& in);
// "AWS4-HMAC-SHA256", the date, the credential scope and the hashed canonical request.
std::string string_to_sign(SigningInput const& in);
// The derived key for the date (YYYYMMDD), region and service, raw bytes.
std::string signing_key(std::string const& secret, std::string const& date,
                        std::string const& region, std::string const& service);
// The value of the "Authorization" header.
std::string authorization_value(SigningInput const& in);

}  // namespace KVO_Core::s3
