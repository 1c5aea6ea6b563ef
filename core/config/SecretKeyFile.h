// The key file of stored passwords on disk: reading it, and storing a new key so that two
// processes never end up with two keys. No caching here.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>

namespace KVO_Core::secret_key_file {

inline constexpr std::size_t KEY_SIZE = 32;
using Key = std::array<unsigned char, KEY_SIZE>;

struct ReadResult {
  enum Status { Missing, Empty, Found, Unreadable } status;
  Key key{};              // set when Found
  bool outdated = false;  // Found in an older stored form: rewrite it
};

// Reads the key at `path`. Found only for a regular file whose unprotected content is exactly
// KEY_SIZE bytes; a file readable by group or others then gets a Warning and mode 0600.
// Anything else that exists (wrong size, a directory, an unreadable file) is Unreadable and left
// as it is. Never throws; logs only about the rights it fixes.
ReadResult read(std::filesystem::path const& path);

// Stores `key` at `path` unless a key is there already: the folder is created, the key written
// to a temporary file (mode 0600) and fsynced, then linked to the name, so an existing key is
// never replaced; an existing empty file is replaced. Returns the key now in the file (the one
// another process stored first, when it won the race); none when nothing usable could be stored.
std::optional<Key> store_new(std::filesystem::path const& path, Key const& key);

// Rewrites the key file with `key` in the current stored form (temporary file, fsync, rename).
bool rewrite(std::filesystem::path const& path, Key const& key);

}  // namespace KVO_Core::secret_key_file
