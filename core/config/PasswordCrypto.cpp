#include "core/config/PasswordCrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "core/config/SecretKeyFile.h"
#include "utilities/Codecs.h"
#include "utilities/Logging.h"
#include "utilities/OpenSslHandles.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace KVO_Core::passwordcrypto {
namespace {

using secret_key_file::Key;
constexpr std::size_t NONCE_SIZE = 12;
constexpr std::size_t TAG_SIZE = 16;

// Held for the whole lookup, reading, making and storing included, so two threads never make
// two keys. Comes after a configuration list mutex and before the logger's.
std::mutex key_cache_mutex;
std::map<std::filesystem::path, Key> key_cache;

using CipherContext = Utilities::openssl::CipherCtx;

// Key bytes copied out of the cache, wiped when done.
struct KeyCopy {
  Key key;
  ~KeyCopy() { OPENSSL_cleanse(key.data(), key.size()); }
};

void log_error(char const* id) {
  Utilities::log_at(Utilities::LogLevel::Error, Utilities::translation::translate(id));
}

void log_error(char const* id, std::filesystem::path const& path) {
  Utilities::log_at(Utilities::LogLevel::Error, Utilities::translation::translate(id),
                    Utilities::from_path(path));
}

std::optional<Key> load_or_create_key(std::filesystem::path const& path) {
  std::lock_guard lock(key_cache_mutex);
  if (auto cached = key_cache.find(path); cached != key_cache.end()) return cached->second;

  auto found = secret_key_file::read(path);
  if (found.status == secret_key_file::ReadResult::Unreadable) {
    log_error("crypto_key_unreadable", path);
    return std::nullopt;
  }
  if (found.status == secret_key_file::ReadResult::Found) {
    if (found.outdated && !secret_key_file::rewrite(path, found.key))
      log_error("crypto_key_not_storable", path);
    key_cache.emplace(path, found.key);
    return found.key;
  }

  KeyCopy fresh;
  if (RAND_bytes(fresh.key.data(), static_cast<int>(fresh.key.size())) != 1) {
    log_error("crypto_key_generation_failed");
    return std::nullopt;
  }
  // A key that is not on disk would make every password encrypted with it unreadable after a
  // restart, so it is not used at all; the callers keep what they have.
  auto stored = secret_key_file::store_new(path, fresh.key);
  if (!stored) {
    log_error("crypto_key_not_storable", path);
    return std::nullopt;
  }
  key_cache.emplace(path, *stored);
  return stored;
}

}  // namespace

bool is_encrypted(std::string_view text) { return text.starts_with(PREFIX); }

std::string encrypt(std::string_view plain, std::filesystem::path const& key_file) {
  auto loaded = load_or_create_key(key_file);
  if (!loaded) return {};
  KeyCopy key{*loaded};
  OPENSSL_cleanse(loaded->data(), loaded->size());

  std::vector<unsigned char> data(NONCE_SIZE + plain.size() + TAG_SIZE);
  if (RAND_bytes(data.data(), static_cast<int>(NONCE_SIZE)) != 1) {
    log_error("crypto_nonce_generation_failed");
    return {};
  }
  CipherContext ctx(EVP_CIPHER_CTX_new());
  int written = 0;
  int final_written = 0;
  bool ok =
      ctx && plain.size() <= INT_MAX &&
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, NONCE_SIZE, nullptr) == 1 &&
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.key.data(), data.data()) == 1 &&
      EVP_EncryptUpdate(ctx.get(), data.data() + NONCE_SIZE, &written,
                        reinterpret_cast<unsigned char const*>(plain.data()),
                        static_cast<int>(plain.size())) == 1 &&
      EVP_EncryptFinal_ex(ctx.get(), data.data() + NONCE_SIZE + written, &final_written) == 1 &&
      static_cast<std::size_t>(written + final_written) == plain.size() &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, TAG_SIZE,
                          data.data() + NONCE_SIZE + plain.size()) == 1;
  if (!ok) {
    OPENSSL_cleanse(data.data(), data.size());
    log_error("crypto_encryption_unavailable");
    return {};
  }
  return std::string(PREFIX) + Utilities::base64::encoded(std::string_view(
                                   reinterpret_cast<char const*>(data.data()), data.size()));
}

std::string encrypt_or_throw(std::string_view plain, std::filesystem::path const& key_file,
                             std::string_view owner) {
  auto stored = encrypt(plain, key_file);
  if (stored.empty()) {
    throw NotEncryptable(
        Utilities::translation::translate_utf8("password_not_encryptable", {std::string(owner)}));
  }
  return stored;
}

std::optional<std::string> decrypt(std::string_view stored, std::filesystem::path const& key_file) {
  if (!is_encrypted(stored)) return std::nullopt;
  auto data = Utilities::base64::decoded(stored.substr(PREFIX.size()));
  if (data.size() < NONCE_SIZE + TAG_SIZE) {
    log_error("crypto_password_corrupted");
    return std::nullopt;
  }
  auto loaded = load_or_create_key(key_file);
  if (!loaded) return std::nullopt;
  KeyCopy key{*loaded};
  OPENSSL_cleanse(loaded->data(), loaded->size());

  CipherContext ctx(EVP_CIPHER_CTX_new());
  if (!ctx) {
    log_error("crypto_decryption_unavailable");
    return std::nullopt;
  }
  std::size_t size = data.size() - NONCE_SIZE - TAG_SIZE;
  auto const* nonce = reinterpret_cast<unsigned char const*>(data.data());
  auto const* cipher_text = nonce + NONCE_SIZE;
  std::vector<unsigned char> tag(cipher_text + size, cipher_text + size + TAG_SIZE);
  std::string plain(size, '\0');
  auto* out = reinterpret_cast<unsigned char*>(plain.data());
  int written = 0;
  int final_written = 0;
  bool set_up = size <= INT_MAX &&
                EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
                EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, NONCE_SIZE, nullptr) == 1 &&
                EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.key.data(), nonce) == 1;
  if (!set_up) {
    log_error("crypto_decryption_unavailable");
    return std::nullopt;
  }
  bool ok = EVP_DecryptUpdate(ctx.get(), out, &written, cipher_text, static_cast<int>(size)) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, TAG_SIZE, tag.data()) == 1 &&
            EVP_DecryptFinal_ex(ctx.get(), out + written, &final_written) == 1 &&
            static_cast<std::size_t>(written + final_written) == size;
  if (!ok) {
    OPENSSL_cleanse(plain.data(), plain.size());
    log_error("crypto_decryption_failed");
    return std::nullopt;
  }
  return plain;
}

}  // namespace KVO_Core::passwordcrypto
