// The PC's TLS identity towards paired phones: an EC P-256 key and a self-signed certificate,
// kept as "device.key" and "device.crt" in the link directory. The certificate's SHA-256
// fingerprint names the PC on the link and, for a phone's certificate, the phone.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <openssl/x509.h>

namespace KVO_Core {

struct DeviceIdentity {
  std::string certificate_pem;  // exactly as stored in "device.crt"
  std::string key_pem;          // PKCS#8, not encrypted
  std::string fingerprint;      // 64 lower-case hex digits; empty only when the digest failed

  // The identity stored in `dir`, or a new one (then stored there). Files that do not parse, or
  // a key that does not belong to the certificate (a write cut short), are made anew; a new
  // identity that cannot be stored is still returned, after an Error line. None only when no
  // identity could be made at all (Error line).
  static std::optional<DeviceIdentity> load_or_create(std::filesystem::path const& dir);
};

// SHA-256 of the certificate's DER form as lower-case hex; empty for null or a failed digest.
std::string certificate_fingerprint(X509 const* certificate);

// The machine's host name; `fallback` when it has none.
std::string host_name_or(std::string const& fallback);

// "Pellimoravin " and the host name, cut to the 64 characters a certificate's name may hold,
// never inside a UTF-8 sequence.
std::string identity_common_name(std::string const& host_name);

}  // namespace KVO_Core
