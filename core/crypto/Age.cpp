#include "core/crypto/Age.h"

#include <istream>
#include <ostream>

#include "core/crypto/AgeCrypto.h"
#include "core/crypto/AgeHeader.h"
#include "core/crypto/AgeKeys.h"
#include "core/crypto/AgeStream.h"

namespace KVO_Core::age {

namespace {

constexpr std::string_view X25519_LABEL = "age-encryption.org/v1/X25519";
constexpr std::size_t FILE_KEY_SIZE = 16;
constexpr std::size_t PAYLOAD_NONCE_SIZE = 16;
constexpr std::array<unsigned char, NONCE_SIZE> ZERO_NONCE{};

using FileKey = Secret<FILE_KEY_SIZE>;
using PayloadNonce = std::array<unsigned char, PAYLOAD_NONCE_SIZE>;

std::string joined(Bytes32 const& a, Bytes32 const& b) {
  std::string salt(as_text(a.data(), a.size()));
  salt += as_text(b.data(), b.size());
  return salt;
}

std::optional<Key32> wrapping_key(Key32 const& shared, Bytes32 const& share,
                                  Bytes32 const& recipient) {
  return hkdf(shared.text(), joined(share, recipient), X25519_LABEL);
}

std::optional<Key32> payload_key(FileKey const& file_key, PayloadNonce const& nonce) {
  return hkdf(file_key.text(), as_text(nonce.data(), nonce.size()), "payload");
}

std::optional<Bytes32> header_mac(FileKey const& file_key, std::string_view text) {
  auto key = hkdf(file_key.text(), "", "header");
  if (!key) return std::nullopt;
  return hmac_sha256(*key, text);
}

// The file key from the first X25519 stanza that opens with the identity; none when none does.
std::optional<FileKey> unwrapped_file_key(Header const& header, Key32 const& secret,
                                          Bytes32 const& own_public) {
  for (auto const& [argument, body] : header.stanzas) {
    auto share = base64_bytes(argument);
    auto wrapped = base64_bytes(body);
    if (!share || !wrapped) continue;
    auto shared = shared_secret(secret, *share);
    if (!shared) continue;  // a low-order share: not this stanza
    auto key = wrapping_key(*shared, *share, own_public);
    if (!key) continue;
    FileKey file_key;
    Aead aead(*key, false);
    if (aead.open(ZERO_NONCE.data(), wrapped->data(), wrapped->size(), file_key.data()))
      return file_key;
  }
  return std::nullopt;
}

}  // namespace

bool encrypted(std::istream& in) {
  char buf[VERSION_LINE.size()];
  in.read(buf, sizeof buf);
  return in.gcount() == static_cast<std::streamsize>(sizeof buf) &&
         std::string_view(buf, sizeof buf) == VERSION_LINE;
}

Result encrypt(std::istream& in, std::ostream& out, std::string const& recipient,
               Progress const& progress) {
  auto const recipient_public = recipient_key(recipient);
  FileKey file_key;
  PayloadNonce nonce{};
  Key32 ephemeral;
  if (!recipient_public || !random_bytes(file_key.data(), file_key.size()) ||
      !random_bytes(nonce.data(), nonce.size()) ||
      !random_bytes(ephemeral.data(), ephemeral.size()))
    return Failed;
  auto const share = x25519_public(ephemeral);
  if (!share) return Failed;
  auto const shared = shared_secret(ephemeral, *recipient_public);
  if (!shared) return Failed;
  auto const key = wrapping_key(*shared, *share, *recipient_public);
  if (!key) return Failed;
  std::array<unsigned char, FILE_KEY_SIZE + TAG_SIZE> wrapped{};
  Aead wrap(*key, true);
  if (!wrap.seal(ZERO_NONCE.data(), file_key.data(), file_key.size(), wrapped.data()))
    return Failed;
  std::string header = header_text(*share, as_text(wrapped.data(), wrapped.size()));
  auto const mac = header_mac(file_key, header);
  auto const payload = payload_key(file_key, nonce);
  if (!mac || !payload) return Failed;
  header += mac_line(*mac);
  out.write(header.data(), static_cast<std::streamsize>(header.size()));
  if (out.fail()) return WriteFailed;
  out.write(reinterpret_cast<char const*>(nonce.data()), nonce.size());
  if (out.fail()) return WriteFailed;
  return encrypt_payload(in, out, *payload, progress);
}

Result decrypt(std::istream& in, std::ostream& out, std::string const& identity,
               Progress const& progress) {
  auto const secret = identity_key(identity);
  auto const header = read_header(in);
  if (!header) return in.bad() ? ReadFailed : NotEncrypted;
  if (!secret) return WrongKey;
  auto const own_public = x25519_public(*secret);
  if (!own_public) return WrongKey;
  auto const file_key = unwrapped_file_key(*header, *secret, *own_public);
  if (!file_key) return WrongKey;
  auto const mac = header_mac(*file_key, header->text);
  if (!mac) return Failed;
  std::string const expected = base64_unpadded(as_text(mac->data(), mac->size()));
  if (expected.size() != header->mac.size() ||
      CRYPTO_memcmp(expected.data(), header->mac.data(), expected.size()) != 0)
    return Damaged;
  PayloadNonce nonce{};
  in.read(reinterpret_cast<char*>(nonce.data()), nonce.size());
  if (in.gcount() != static_cast<std::streamsize>(nonce.size()))
    return in.bad() ? ReadFailed : Damaged;
  auto const payload = payload_key(*file_key, nonce);
  if (!payload) return Failed;
  return decrypt_payload(in, out, *payload, progress);
}

}  // namespace KVO_Core::age
