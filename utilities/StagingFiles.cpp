#include "utilities/StagingFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>

#include "utilities/Logging.h"
#include "utilities/Paths.h"

namespace Utilities::staging {

namespace {

std::mutex claims_mutex;
std::multiset<std::filesystem::path> claims;

std::size_t utf8_length(wchar_t c) {
  auto const code = static_cast<std::uint32_t>(c);
  return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
}

// FNV-1a over the code points: two names that share the kept start still differ here.
std::wstring name_hash(std::wstring_view name) {
  std::uint64_t hash = 14695981039346656037ull;
  for (wchar_t c : name) {
    hash ^= static_cast<std::uint32_t>(c);
    hash *= 1099511628211ull;
  }
  wchar_t text[17];
  std::swprintf(text, 17, L"%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace

bool staging_name(std::wstring_view name) {
  return name.size() >= SUFFIX.size() && name.substr(name.size() - SUFFIX.size()) == SUFFIX;
}

std::wstring staging_path(std::wstring const& destination) {
  std::size_t const slash = destination.rfind(L'/');
  std::size_t const start = slash == std::wstring::npos ? 0 : slash + 1;
  std::wstring_view const name = std::wstring_view(destination).substr(start);
  std::size_t bytes = 0;
  for (wchar_t c : name) bytes += utf8_length(c);
  if (bytes + SUFFIX.size() <= NAME_MAX) return destination + std::wstring(SUFFIX);
  std::wstring const tail = L"." + name_hash(name) + std::wstring(SUFFIX);
  // Cut at a whole character: a name that is not UTF-8 would be skipped by every walk.
  std::size_t kept = 0;
  std::size_t length = 0;
  while (kept < name.size() && length + utf8_length(name[kept]) + tail.size() <= NAME_MAX)
    length += utf8_length(name[kept++]);
  return destination.substr(0, start) + std::wstring(name.substr(0, kept)) + tail;
}

Claim::Claim(std::filesystem::path path) : path_(std::move(path)) {
  std::lock_guard<std::mutex> const lock(claims_mutex);
  claims.insert(path_);
}

Claim::~Claim() {
  std::lock_guard<std::mutex> const lock(claims_mutex);
  claims.erase(claims.find(path_));
}

bool remove_leftover(std::filesystem::path const& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
    return false;
  // Checked and removed under the lock: a copy cannot claim the name in between.
  {
    std::lock_guard<std::mutex> const lock(claims_mutex);
    if (claims.count(path) > 0 || ::unlink(path.c_str()) != 0) return false;
  }
  log_at(LogLevel::Debug, L"leftover staging file removed: " + from_path(path));
  return true;
}

}  // namespace Utilities::staging
