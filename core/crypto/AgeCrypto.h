// The primitives of the age format on libcrypto: random bytes, X25519, HKDF-SHA-256,
// HMAC-SHA-256 and ChaCha20-Poly1305. Secrets live in Key32, which wipes itself.
#pragma once

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace KVO_Core::age {

using Bytes32 = std::array<unsigned char, 32>;

// Secret bytes, wiped when they go.
template <std::size_t N>
struct Secret {
  std::array<unsigned char, N> bytes{};
  Secret() = default;
  explicit Secret(std::array<unsigned char, N> const& b) : bytes(b) {}
  Secret(Secret const&) = default;
  Secret& operator=(Secret const&) = default;
  ~Secret() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  unsigned char const* data() const { return bytes.data(); }
  unsigned char* data() { return bytes.data(); }
  static constexpr std::size_t size() { return N; }
  std::string_view text() const { return {reinterpret_cast<char const*>(bytes.data()), N}; }
};
using Key32 = Secret<32>;

inline constexpr std::size_t TAG_SIZE = 16;
inline constexpr std::size_t NONCE_SIZE = 12;

inline std::string_view as_text(unsigned char const* p, std::size_t n) {
  return {reinterpret_cast<char const*>(p), n};
}

// False when the generator fails.
bool random_bytes(unsigned char* out, std::size_t n);
// The public key of an X25519 private key (the library clamps); none on failure.
std::optional<Bytes32> x25519_public(Key32 const& secret);
// X25519 agreement; none on failure and for an all-zero result (a low-order peer share).
std::optional<Key32> shared_secret(Key32 const& secret, Bytes32 const& peer);
// HKDF-SHA-256 with 32 bytes of output; an empty salt is not set.
std::optional<Key32> hkdf(std::string_view key_material, std::string_view salt,
                          std::string_view info);
// HMAC-SHA-256 of data; none on failure.
std::optional<Bytes32> hmac_sha256(Key32 const& key, std::string_view data);

// One ChaCha20-Poly1305 context for one key and one direction, reused for every message (only
// the nonce changes), so nothing is allocated per chunk.
class Aead {
 public:
  Aead(Key32 const& key, bool encrypting);
  ~Aead();
  Aead(Aead const&) = delete;
  Aead& operator=(Aead const&) = delete;

  // False when the library could not set up the context; seal and open then fail.
  bool ready() const { return ctx_ != nullptr; }
  // out gets n bytes of ciphertext and the 16-byte tag; false on a library failure.
  bool seal(unsigned char const* nonce, unsigned char const* in, std::size_t n, unsigned char* out);
  // in holds n bytes, the last 16 the tag; out gets n - 16 bytes. False when n < 16, the tag does
  // not verify or the library fails.
  bool open(unsigned char const* nonce, unsigned char const* in, std::size_t n, unsigned char* out);

 private:
  EVP_CIPHER_CTX* ctx_ = nullptr;
  bool encrypting_;
};

}  // namespace KVO_Core::age
