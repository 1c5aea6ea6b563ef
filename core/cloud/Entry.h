// The one entry type of every web store's stat and list.
#pragma once

#include <cstdint>
#include <string>

namespace KVO_Core::webdav {

struct Entry {
  std::string name;  // UTF-8, the last component of the path; in a listing a plain entry name
  bool is_dir = false;
  std::uint64_t size = 0;  // 0 for a folder and when the store names none
  std::int64_t mtime = 0;  // Unix seconds; 0 when the store names none

  friend bool operator==(Entry const&, Entry const&) = default;
};

}  // namespace KVO_Core::webdav
