// Names ending in ".kvo-part" are the service's own: a file written there is renamed over its
// destination once complete. Copies in flight hold a claim on their staging path, so that a walk
// tells a leftover of a killed copy from one that is being written right now.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace Utilities::staging {

inline constexpr std::wstring_view SUFFIX = L".kvo-part";

// The name ends in ".kvo-part".
bool staging_name(std::wstring_view name);

// "<destination>.kvo-part"; where that name would pass the 255-byte limit of a name, a shorter
// one in the same folder: the name's start, a hash of the whole name and the suffix. The same
// destination always gives the same path.
std::wstring staging_path(std::wstring const& destination);

// Claims a staging path for as long as it lives; safe from every thread.
class Claim {
 public:
  explicit Claim(std::filesystem::path path);
  ~Claim();
  Claim(Claim const&) = delete;
  Claim& operator=(Claim const&) = delete;

 private:
  std::filesystem::path path_;
};

// Removes a regular file or link at a staging path that no copy claims, with a Debug line; true
// when removed.
bool remove_leftover(std::filesystem::path const& path);

}  // namespace Utilities::staging
