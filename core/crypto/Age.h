// The age v1 file format with X25519 recipients: key texts, sizes, and streaming encryption and
// decryption of whole files. Every outcome is a Result; nothing here throws for bad input.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace KVO_Core::age {

enum Result : int {
  Ok = 0,
  Cancelled = 1,     // the progress callback asked to stop
  ReadFailed = 2,    // the input stream went bad
  WriteFailed = 3,   // the output stream failed after a write
  NotEncrypted = 4,  // no age v1 header could be read
  WrongKey = 5,      // no X25519 stanza opens with the identity
  Damaged = 6,       // header MAC, nonce or a chunk does not verify
  Failed = 7,        // a key or the cryptographic library failed
};

// Plaintext bytes done so far; false asks the operation to stop. An empty function is never called.
using Progress = std::function<bool(std::uint64_t)>;

inline constexpr std::uint64_t CHUNK_SIZE = 65536;

// A new identity ("AGE-SECRET-KEY-1..." in upper case); none when the random generator fails.
std::optional<std::string> generate_identity();
// The recipient ("age1...") of an identity in upper or lower case; none when it does not decode.
std::optional<std::string> recipient_of(std::string const& identity);
// True when the text decodes as a recipient.
bool valid_recipient(std::string const& text);

// Size of the file that encrypt writes for n plaintext bytes. Pure.
constexpr std::uint64_t encrypted_size(std::uint64_t n) {
  std::uint64_t const chunks = n == 0 ? 1 : n / CHUNK_SIZE + (n % CHUNK_SIZE != 0 ? 1 : 0);
  return n + 16 * chunks + 184;
}

// Reads 22 bytes; true when they are the age v1 version line with its line feed.
bool encrypted(std::istream& in);

// Writes one age v1 file for the one recipient. Never rewinds or removes partial output.
Result encrypt(std::istream& in, std::ostream& out, std::string const& recipient,
               Progress const& progress);
// Reads an age v1 file with the one identity. Never rewinds or removes partial output.
Result decrypt(std::istream& in, std::ostream& out, std::string const& identity,
               Progress const& progress);

}  // namespace KVO_Core::age
