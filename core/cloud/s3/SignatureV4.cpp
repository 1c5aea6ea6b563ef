#include "core/cloud/s3/SignatureV4.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <stdexcept>

#include "utilities/Codecs.h"

namespace KVO_Core::s3 {

namespace {

std::string scope_of(SigningInput const& in) {
  return in.amz_date.substr(0, 8) + "/" + in.region + "/" + in.service + "/aws4_request";
}

std::string signed_header_names(SigningInput const& in) {
  std::string names;
  for (auto const& [name, value] : in.headers) {
    if (!names.empty()) names += ';';
    names += name;
  }
  return names;
}

}  // namespace

std::string amz_date_of(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[32];
  std::size_t const length = std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return std::string(text, length);
}

std::string sha256_hex(std::string const& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed");
  return Utilities::hex::encoded(std::string_view(reinterpret_cast<char*>(digest), length));
}

std::string hmac_sha256(std::string const& key, std::string const& data) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<unsigned char const*>(data.data()), data.size(), mac, &length))
    throw std::runtime_error("HMAC-SHA-256 failed");
  return std::string(reinterpret_cast<char*>(mac), length);
}

std::string canonical_request(SigningInput const& in) {
  std::string text = in.method + "\n" + in.canonical_uri + "\n" + in.canonical_query + "\n";
  for (auto const& [name, value] : in.headers) text += name + ":" + value + "\n";
  return text + "\n" + signed_header_names(in) + "\n" + in.payload_hash;
}

std::string string_to_sign(SigningInput const& in) {
  return "AWS4-HMAC-SHA256\n" + in.amz_date + "\n" + scope_of(in) + "\n" +
         sha256_hex(canonical_request(in));
}

std::string signing_key(std::string const& secret, std::string const& date,
                        std::string const& region, std::string const& service) {
  std::string const dated = hmac_sha256("AWS4" + secret, date);
  std::string const regional = hmac_sha256(dated, region);
  return hmac_sha256(hmac_sha256(regional, service), "aws4_request");
}

std::string authorization_value(SigningInput const& in) {
  std::string const key = signing_key(in.secret, in.amz_date.substr(0, 8), in.region, in.service);
  std::string const signature = Utilities::hex::encoded(hmac_sha256(key, string_to_sign(in)));
  return "AWS4-HMAC-SHA256 Credential=" + in.key_id + "/" + scope_of(in) +
         ", SignedHeaders=" + signed_header_names(in) + ", Signature=" + signature;
}

}  // namespace KVO_Core::s3
