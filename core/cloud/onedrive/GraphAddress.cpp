#include "core/cloud/onedrive/GraphAddress.h"

#include "core/cloud/UtcTime.h"
#include "utilities/Codecs.h"
#include "utilities/Util.h"

namespace KVO_Core::one_drive {

std::string encoded_path(std::string const& path) {
  std::string out;
  for (std::string const& piece : Utilities::util::split(path, '/'))
    out += "/" + Utilities::percent::encoded(piece);
  return out;
}

std::string item_url(std::string const& base, std::string const& path, std::string const& suffix) {
  std::string const encoded = encoded_path(path);
  if (encoded.empty()) return suffix.empty() ? base : base + "/" + suffix;
  std::string url = base + ":" + encoded;
  if (!suffix.empty()) url += ":/" + suffix;
  return url;
}

ParentAndName split_last(std::string const& path) {
  std::vector<std::string> pieces = Utilities::util::split(path, '/');
  ParentAndName out;
  if (pieces.empty()) return out;
  out.name = pieces.back();
  pieces.pop_back();
  for (std::string const& piece : pieces) out.parent += "/" + piece;
  return out;
}

std::string time_json(std::int64_t seconds) {
  return "\"fileSystemInfo\":{\"lastModifiedDateTime\":" + json_text(utc_time::text_of(seconds)) +
         "}";
}

std::string folder_body(std::string const& name) {
  return "{\"name\":" + json_text(name) +
         ",\"folder\":{},\"@microsoft.graph.conflictBehavior\":\"fail\"}";
}

std::string move_body(ParentAndName const& target) {
  return "{\"name\":" + json_text(target.name) +
         ",\"parentReference\":{\"path\":" + json_text("/drive/root:" + target.parent) + "}}";
}

std::string upload_session_body(std::int64_t seconds) {
  return "{\"item\":{\"@microsoft.graph.conflictBehavior\":\"replace\"," + time_json(seconds) +
         "}}";
}

std::string content_range(UploadPiece const& piece, std::uint64_t size) {
  return "Content-Range: bytes " + std::to_string(piece.offset) + "-" +
         std::to_string(piece.offset + piece.count - 1) + "/" + std::to_string(size);
}

}  // namespace KVO_Core::one_drive
