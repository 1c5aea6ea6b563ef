// The addresses and JSON bodies of the OneDrive store's calls, built without a request.
#pragma once

#include <cstdint>
#include <string>

#include "core/cloud/JsonText.h"
#include "core/cloud/UploadPieces.h"

namespace KVO_Core::one_drive {

// The item fields that stat and list ask for.
inline constexpr char ITEM_FIELDS[] =
    "?$select=name,size,folder,file,fileSystemInfo,lastModifiedDateTime";
// Bytes per request of an upload session.
inline constexpr std::uint64_t PIECE_SIZE = 10485760;

// Each non-empty piece of the path percent-encoded and preceded by "/"; "" for the drive root.
std::string encoded_path(std::string const& path);
// The address of the item at `path` below `base` (the drive root's address), with `suffix` (such
// as "children") when it is not empty: base:/a/b:/suffix, or base/suffix for the root.
std::string item_url(std::string const& base, std::string const& path, std::string const& suffix);

// A path's last non-empty piece and, before it, the pieces above it each preceded by "/" ("" for
// the drive root), so "docs/a", "/docs/a" and "/docs//a/" all give "/docs" and "a".
struct ParentAndName {
  std::string parent;
  std::string name;
};
ParentAndName split_last(std::string const& path);

using cloud_json::json_text;
// "fileSystemInfo":{"lastModifiedDateTime":"<UTC time>"}
std::string time_json(std::int64_t seconds);
std::string folder_body(std::string const& name);
std::string move_body(ParentAndName const& target);
std::string upload_session_body(std::int64_t seconds);

// "Content-Range: bytes FIRST-LAST/SIZE" of one piece of a file of `size` bytes.
std::string content_range(UploadPiece const& piece, std::uint64_t size);

}  // namespace KVO_Core::one_drive
