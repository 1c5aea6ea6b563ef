#include "core/crypto/AgeCrypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <climits>

#include "utilities/OpenSslHandles.h"

namespace KVO_Core::age {

namespace {

using Utilities::openssl::Pkey;
using Utilities::openssl::PkeyCtx;

Pkey private_key(Key32 const& secret) {
  return Pkey(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret.data(), 32));
}

}  // namespace

bool random_bytes(unsigned char* out, std::size_t n) {
  return n <= INT_MAX && RAND_bytes(out, static_cast<int>(n)) == 1;
}

std::optional<Bytes32> x25519_public(Key32 const& secret) {
  Pkey key = private_key(secret);
  Bytes32 pub{};
  std::size_t len = pub.size();
  if (!key || EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &len) != 1 || len != pub.size())
    return std::nullopt;
  return pub;
}

std::optional<Key32> shared_secret(Key32 const& secret, Bytes32 const& peer) {
  Pkey own = private_key(secret);
  Pkey other(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer.data(), peer.size()));
  if (!own || !other) return std::nullopt;
  PkeyCtx ctx(EVP_PKEY_CTX_new(own.get(), nullptr));
  Key32 out;
  std::size_t len = out.bytes.size();
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer(ctx.get(), other.get()) != 1 ||
      EVP_PKEY_derive(ctx.get(), out.bytes.data(), &len) != 1 || len != out.bytes.size())
    return std::nullopt;
  static constexpr Bytes32 zero{};
  if (CRYPTO_memcmp(out.data(), zero.data(), zero.size()) == 0) return std::nullopt;
  return out;
}

std::optional<Key32> hkdf(std::string_view key_material, std::string_view salt,
                          std::string_view info) {
  Utilities::openssl::Kdf kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) return std::nullopt;
  Utilities::openssl::KdfCtx ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) return std::nullopt;
  char digest[] = "SHA256";
  OSSL_PARAM params[5];
  int i = 0;
  params[i++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[i++] = OSSL_PARAM_construct_octet_string(
      OSSL_KDF_PARAM_KEY, const_cast<char*>(key_material.data()), key_material.size());
  params[i++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO,
                                                  const_cast<char*>(info.data()), info.size());
  if (!salt.empty())
    params[i++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                                    const_cast<char*>(salt.data()), salt.size());
  params[i] = OSSL_PARAM_construct_end();
  Key32 out;
  if (EVP_KDF_derive(ctx.get(), out.bytes.data(), out.bytes.size(), params) != 1)
    return std::nullopt;
  return out;
}

std::optional<Bytes32> hmac_sha256(Key32 const& key, std::string_view data) {
  Bytes32 out{};
  unsigned int len = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.bytes.size()),
            reinterpret_cast<unsigned char const*>(data.data()), data.size(), out.data(), &len) ||
      len != out.size())
    return std::nullopt;
  return out;
}

Aead::Aead(Key32 const& key, bool encrypting) : encrypting_(encrypting) {
  ctx_ = EVP_CIPHER_CTX_new();
  if (ctx_ && EVP_CipherInit_ex(ctx_, EVP_chacha20_poly1305(), nullptr, key.data(), nullptr,
                                encrypting ? 1 : 0) != 1) {
    EVP_CIPHER_CTX_free(ctx_);
    ctx_ = nullptr;
  }
}

Aead::~Aead() { EVP_CIPHER_CTX_free(ctx_); }

bool Aead::seal(unsigned char const* nonce, unsigned char const* in, std::size_t n,
                unsigned char* out) {
  int len = 0;
  if (!ctx_ || !encrypting_ || n > INT_MAX ||
      EVP_CipherInit_ex(ctx_, nullptr, nullptr, nullptr, nonce, 1) != 1)
    return false;
  if (n > 0 && (EVP_EncryptUpdate(ctx_, out, &len, in, static_cast<int>(n)) != 1 ||
                static_cast<std::size_t>(len) != n))
    return false;
  int tail = 0;
  return EVP_EncryptFinal_ex(ctx_, out + n, &tail) == 1 && tail == 0 &&
         EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_GET_TAG, TAG_SIZE, out + n) == 1;
}

bool Aead::open(unsigned char const* nonce, unsigned char const* in, std::size_t n,
                unsigned char* out) {
  if (!ctx_ || encrypting_ || n < TAG_SIZE || n > INT_MAX ||
      EVP_CipherInit_ex(ctx_, nullptr, nullptr, nullptr, nonce, 0) != 1)
    return false;
  std::size_t const plain = n - TAG_SIZE;
  int len = 0;
  if (plain > 0 && (EVP_DecryptUpdate(ctx_, out, &len, in, static_cast<int>(plain)) != 1 ||
                    static_cast<std::size_t>(len) != plain))
    return false;
  // The tag is only read by the library, never written.
  if (EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_SET_TAG, TAG_SIZE,
                          const_cast<unsigned char*>(in + plain)) != 1)
    return false;
  int tail = 0;
  return EVP_DecryptFinal_ex(ctx_, out + plain, &tail) == 1 && tail == 0;
}

}  // namespace KVO_Core::age
