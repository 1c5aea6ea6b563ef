// Stored passwords: "$AES256GCM$" followed by the padded Base64 of a 12-byte nonce, the
// AES-256-GCM ciphertext and the 16-byte tag, under one 32-byte key kept in a key file.
// None of these functions throws, except encrypt_or_throw.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace KVO_Core {

// The wrapper key bytes pass through on their way to and from a key file. Here the stored form
// is the bytes themselves.
namespace secretblob {
std::optional<std::string> protect(std::string_view bytes);     // always engaged
std::optional<std::string> unprotect(std::string_view stored);  // always engaged
bool outdated(std::string_view stored);                         // always false
}  // namespace secretblob

namespace passwordcrypto {

inline constexpr std::string_view PREFIX = "$AES256GCM$";

// Thrown by encrypt_or_throw; what() is a translated line naming whose password it was.
class NotEncryptable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// True when `text` begins with PREFIX (the prefix alone counts).
bool is_encrypted(std::string_view text);

// The stored form of the UTF-8 `plain`, with a fresh nonce, under the key of `key_file` (made
// and stored on first use). Empty on failure, after an Error line saying why.
std::string encrypt(std::string_view plain, std::filesystem::path const& key_file);

// As encrypt, but a failure throws NotEncryptable whose text names `owner` (an account name,
// or the mail account), so a writer can refuse to store the password empty or in plain text.
std::string encrypt_or_throw(std::string_view plain, std::filesystem::path const& key_file,
                             std::string_view owner);

// The plain text of a stored form; none (after an Error line) when it is corrupted, no key can
// be had or the key does not fit. Not a stored form: none, without a line.
std::optional<std::string> decrypt(std::string_view stored, std::filesystem::path const& key_file);

}  // namespace passwordcrypto
}  // namespace KVO_Core
