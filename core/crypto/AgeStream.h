// The payload of an age v1 file: ChaCha20-Poly1305 over 64 KiB chunks, each nonce the chunk
// index and a last-chunk flag. Memory holds one chunk, whatever the file's size.
#pragma once

#include <iosfwd>

#include "core/crypto/Age.h"
#include "core/crypto/AgeCrypto.h"

namespace KVO_Core::age {

// Seals the whole input. An empty input is one empty last chunk; a multiple of 64 KiB ends with
// a full last chunk. Ok, ReadFailed, WriteFailed, Cancelled or Failed (the library).
Result encrypt_payload(std::istream& in, std::ostream& out, Key32 const& payload_key,
                       Progress const& progress);

// Opens the whole payload up to the end of input. Damaged for a chunk that does not verify (a
// cut, appended bytes, a flipped bit) or an empty chunk after the first; else as above.
Result decrypt_payload(std::istream& in, std::ostream& out, Key32 const& payload_key,
                       Progress const& progress);

}  // namespace KVO_Core::age
