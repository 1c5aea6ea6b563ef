// Builds age files with hand-made stanza lines (other types, low-order shares, odd encodings),
// sealed and MACed like real ones, to test how the reader treats each stanza.
#pragma once

#include <sstream>
#include <string>

#include "core/crypto/AgeCrypto.h"
#include "core/crypto/AgeHeader.h"
#include "core/crypto/AgeKeys.h"
#include "core/crypto/AgeStream.h"

namespace crypto_test {

using FileKey = KVO_Core::age::Secret<16>;

inline FileKey random_file_key() {
  FileKey key;
  KVO_Core::age::random_bytes(key.data(), key.size());
  return key;
}

// "-> X25519 <share>\n<wrapped file key>\n" for the recipient, optionally with the share's
// Base64 text altered.
inline std::string x25519_stanza(FileKey const& file_key, std::string const& recipient,
                                 std::string const& share_suffix = "") {
  using namespace KVO_Core::age;
  auto const pub = recipient_key(recipient).value();
  Key32 ephemeral;
  random_bytes(ephemeral.data(), ephemeral.size());
  auto const share = x25519_public(ephemeral).value();
  auto const shared = shared_secret(ephemeral, pub).value();
  std::string salt(as_text(share.data(), share.size()));
  salt += as_text(pub.data(), pub.size());
  auto const key = hkdf(shared.text(), salt, "age-encryption.org/v1/X25519").value();
  std::array<unsigned char, 32> wrapped{};
  std::array<unsigned char, 12> const zero{};
  Aead(key, true).seal(zero.data(), file_key.data(), file_key.size(), wrapped.data());
  return "-> X25519 " + base64_unpadded(as_text(share.data(), share.size())) + share_suffix + "\n" +
         base64_unpadded(as_text(wrapped.data(), wrapped.size())) + "\n";
}

// A whole file: version line, the stanza lines, a correct MAC, a nonce and the payload.
inline std::string build_file(std::string const& stanza_lines, FileKey const& file_key,
                              std::string const& plain) {
  using namespace KVO_Core::age;
  std::string header = std::string(VERSION_LINE) + stanza_lines + "---";
  auto const mac_key = hkdf(file_key.text(), "", "header").value();
  header += mac_line(hmac_sha256(mac_key, header).value());
  std::array<unsigned char, 16> nonce{};
  random_bytes(nonce.data(), nonce.size());
  auto const payload =
      hkdf(file_key.text(), as_text(nonce.data(), nonce.size()), "payload").value();
  std::istringstream in(plain);
  std::ostringstream out;
  out << header << std::string(as_text(nonce.data(), nonce.size()));
  encrypt_payload(in, out, payload, {});
  return out.str();
}

}  // namespace crypto_test
