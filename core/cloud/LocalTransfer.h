// The local side of a web store's transfer: the file an upload reads and the file a download
// writes, with the failures the stores report for them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>

#include "core/run/CopyResult.h"

namespace KVO_Core::http {
class Request;
}

namespace KVO_Core::local_transfer {

// A local file opened for an upload, with the size and time read before.
struct Source {
  std::ifstream in;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;  // Unix seconds
};
// Throws http::Error 37 with the translated "local_file_open_error" and the path when the size
// or time cannot be read or the file does not open.
void open_source(std::filesystem::path const& local, Source& source);

// Creates or truncates the file for writing; throws as open_source does.
void open_target(std::filesystem::path const& local, std::ofstream& out);
// Closes the written file and gives it the remote time when there is one (a failure to set the
// time is ignored). Throws http::Error 10 when the bytes could not all be written.
void close_target(std::filesystem::path const& local, std::ofstream& out, std::int64_t mtime);

// Performs a prepared download request into the file: Cancelled after a stop, Done once the
// answer succeeded and the file is closed with the time `mtime` gives after the answer. Throws
// the answer's http::Error, or as open_target and close_target do.
CopyResult receive(http::Request& request, std::filesystem::path const& local,
                   std::function<std::int64_t()> const& mtime);

}  // namespace KVO_Core::local_transfer
