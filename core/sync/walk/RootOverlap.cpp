#include "core/sync/walk/RootOverlap.h"

#include <sys/stat.h>

#include <optional>
#include <utility>

namespace KVO_Core {

namespace {

using Identity = std::pair<dev_t, ino_t>;

std::optional<Identity> identity(std::filesystem::path const& p) {
  struct stat info {};
  if (::stat(p.c_str(), &info) != 0) return std::nullopt;
  return Identity{info.st_dev, info.st_ino};
}

std::filesystem::path canonical_form(std::filesystem::path const& p) {
  std::error_code ec;
  std::filesystem::path result =
      std::filesystem::weakly_canonical(std::filesystem::absolute(p), ec);
  return ec ? std::filesystem::absolute(p).lexically_normal() : result;
}

// Lexically: b equals a or lies below it.
bool lexically_within(std::filesystem::path const& a, std::filesystem::path const& b) {
  auto ai = a.begin();
  auto bi = b.begin();
  for (; ai != a.end(); ++ai, ++bi) {
    if (ai->empty()) continue;  // a trailing separator
    if (bi == b.end() || *ai != *bi) return false;
  }
  return true;
}

// Some existing ancestor of b (b included) is the directory a, by device and inode.
bool inside_by_identity(std::filesystem::path const& a, std::filesystem::path const& b) {
  std::optional<Identity> const root = identity(a);
  if (!root) return false;
  for (std::filesystem::path p = b;; p = p.parent_path()) {
    if (identity(p) == root) return true;
    if (p == p.parent_path() || p.empty()) return false;
  }
}

}  // namespace

bool roots_overlap(std::filesystem::path const& a, std::filesystem::path const& b) {
  std::filesystem::path const ca = canonical_form(a);
  std::filesystem::path const cb = canonical_form(b);
  if (lexically_within(ca, cb) || lexically_within(cb, ca)) return true;
  return inside_by_identity(ca, cb) || inside_by_identity(cb, ca);
}

bool same_file(std::filesystem::path const& a, std::filesystem::path const& b) {
  std::optional<Identity> const ia = identity(a);
  return ia && ia == identity(b);
}

}  // namespace KVO_Core
