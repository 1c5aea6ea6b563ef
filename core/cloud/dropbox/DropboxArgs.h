// The paths and JSON arguments of the Dropbox store's calls, built without a request. Every
// argument is pure ASCII, so it can travel in the Dropbox-API-Arg header.
#pragma once

#include <cstdint>
#include <string>

namespace KVO_Core::dropbox {

// Bytes per request of an upload session; a file of at most this size goes up in one request.
inline constexpr std::uint64_t PIECE_SIZE = 8388608;

// Each non-empty piece of the path preceded by "/", not encoded; "" for the root.
std::string api_path(std::string const& path);
// A JSON string literal of UTF-8 text in ASCII: quote and backslash escaped, printable ASCII as
// it is, every other code point as \uXXXX (two of them, a surrogate pair, above U+FFFF).
std::string json_text(std::string const& text);

// The arguments; paths are remote paths, turned into Dropbox paths here.
std::string path_arg(std::string const& path);
std::string folder_arg(std::string const& path);
std::string move_arg(std::string const& from, std::string const& to);
std::string continue_arg(std::string const& cursor);
std::string commit_json(std::string const& path, std::int64_t seconds);
std::string cursor_json(std::string const& session_id, std::uint64_t offset);
std::string append_arg(std::string const& session_id, std::uint64_t offset);
std::string finish_arg(std::string const& session_id, std::uint64_t offset, std::string const& path,
                       std::int64_t seconds);
inline constexpr char START_ARG[] = "{\"close\":false}";

}  // namespace KVO_Core::dropbox
