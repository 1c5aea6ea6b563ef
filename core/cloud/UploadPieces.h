// How the web stores cut a file into the pieces of an upload session.
#pragma once

#include <cstdint>
#include <vector>

namespace KVO_Core {

struct UploadPiece {
  std::uint64_t offset = 0;
  std::uint64_t count = 0;

  friend bool operator==(UploadPiece const&, UploadPiece const&) = default;
};

// The pieces of a file of `size` bytes, each `piece_size` bytes but the last, which is shorter
// or as long; in order, each starting where the one before ended. None for an empty file.
std::vector<UploadPiece> upload_pieces(std::uint64_t size, std::uint64_t piece_size);

}  // namespace KVO_Core
