#include "core/cloud/UploadPieces.h"

#include <algorithm>

namespace KVO_Core {

std::vector<UploadPiece> upload_pieces(std::uint64_t size, std::uint64_t piece_size) {
  std::vector<UploadPiece> pieces;
  if (piece_size == 0) return pieces;
  pieces.reserve(static_cast<std::size_t>(size / piece_size + 1));
  for (std::uint64_t offset = 0; offset < size; offset += piece_size)
    pieces.push_back({offset, std::min(piece_size, size - offset)});
  return pieces;
}

}  // namespace KVO_Core
