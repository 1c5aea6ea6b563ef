#include "core/crypto/AgeStream.h"

#include <istream>
#include <ostream>
#include <vector>

namespace KVO_Core::age {

namespace {

constexpr std::size_t CHUNK = CHUNK_SIZE;
constexpr std::size_t SEALED_CHUNK = CHUNK + TAG_SIZE;

using Nonce = std::array<unsigned char, NONCE_SIZE>;

void set_nonce(Nonce& nonce, std::uint64_t index, bool last) {
  nonce.fill(0);
  for (int i = 10; i >= 0 && index != 0; --i, index >>= 8)
    nonce[static_cast<std::size_t>(i)] = static_cast<unsigned char>(index & 0xff);
  nonce[11] = last ? 1 : 0;
}

// One read of up to n bytes, keeping what arrived.
std::size_t read_block(std::istream& in, unsigned char* buffer, std::size_t n) {
  in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(n));
  return static_cast<std::size_t>(in.gcount());
}

bool written(std::ostream& out, unsigned char const* data, std::size_t n) {
  out.write(reinterpret_cast<char const*>(data), static_cast<std::streamsize>(n));
  return !out.fail();
}

}  // namespace

// Both loops read one byte beyond a chunk: whether it arrived tells whether the chunk is the
// last, and it starts the next chunk.
Result encrypt_payload(std::istream& in, std::ostream& out, Key32 const& payload_key,
                       Progress const& progress) {
  Aead aead(payload_key, true);
  if (!aead.ready()) return Failed;
  std::vector<unsigned char> plain(CHUNK + 1);
  std::vector<unsigned char> sealed(SEALED_CHUNK);
  Nonce nonce;
  std::uint64_t total = 0;
  std::size_t have = read_block(in, plain.data(), CHUNK + 1);
  for (std::uint64_t index = 0;; ++index) {
    if (in.bad()) return ReadFailed;
    bool const last = have <= CHUNK;
    std::size_t const n = last ? have : CHUNK;
    set_nonce(nonce, index, last);
    if (!aead.seal(nonce.data(), plain.data(), n, sealed.data())) return Failed;
    if (!written(out, sealed.data(), n + TAG_SIZE)) return WriteFailed;
    total += n;
    if (progress && !progress(total)) return Cancelled;
    if (last) return Ok;
    plain[0] = plain[CHUNK];
    have = 1 + read_block(in, plain.data() + 1, CHUNK);
  }
}

Result decrypt_payload(std::istream& in, std::ostream& out, Key32 const& payload_key,
                       Progress const& progress) {
  Aead aead(payload_key, false);
  if (!aead.ready()) return Failed;
  std::vector<unsigned char> sealed(SEALED_CHUNK + 1);
  std::vector<unsigned char> plain(CHUNK);
  Nonce nonce;
  std::uint64_t total = 0;
  std::size_t have = read_block(in, sealed.data(), SEALED_CHUNK + 1);
  for (std::uint64_t index = 0;; ++index) {
    if (in.bad()) return ReadFailed;
    bool const last = have <= SEALED_CHUNK;
    std::size_t const n = last ? have : SEALED_CHUNK;
    set_nonce(nonce, index, last);
    if (n < TAG_SIZE || !aead.open(nonce.data(), sealed.data(), n, plain.data())) return Damaged;
    std::size_t const m = n - TAG_SIZE;
    // Only an empty file is sealed as one empty chunk; an empty chunk later is not ours.
    if (m == 0 && index > 0) return Damaged;
    if (!written(out, plain.data(), m)) return WriteFailed;
    total += m;
    if (progress && !progress(total)) return Cancelled;
    if (last) return Ok;
    sealed[0] = sealed[SEALED_CHUNK];
    have = 1 + read_block(in, sealed.data() + 1, SEALED_CHUNK);
  }
}

}  // namespace KVO_Core::age
