#include "utilities/Links.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/SystemAreas.h"

namespace Utilities::symlink_util {

namespace fs = std::filesystem;
using namespace FilesystemUtil;

namespace {

// Lexically normal, without a trailing separator; the root stays the root.
fs::path plain(fs::path const& p) {
  fs::path normal = p.lexically_normal();
  if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return normal;
}

// a equals b or lies below it, element by element: /ab is not within /a.
bool within(fs::path const& a, fs::path const& b) {
  auto ai = a.begin();
  for (auto bi = b.begin(); bi != b.end(); ++bi, ++ai)
    if (ai == a.end() || *ai != *bi) return false;
  return true;
}

fs::path canonical_or_given(fs::path const& p) {
  std::error_code ec;
  auto result = fs::weakly_canonical(p, ec);
  return plain(ec ? p : result);
}

}  // namespace

LinkInfo link_info(fs::path const& p) {
  LinkInfo info;
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) info.reason = reason_for_failure(last_stream_error());
    return info;
  }
  if (!S_ISLNK(st.st_mode)) return info;
  info.is_link = true;
  std::error_code ec;
  info.text = fs::read_symlink(p, ec);
  if (ec) {
    info.reason = reason_for_failure(ec);
    if (info.reason == file_info_read_error) info.reason = symbolic_link_error;
  }
  struct stat target {};
  if (::stat(p.c_str(), &target) == 0) {
    info.target_exists = true;
    info.target_is_dir = S_ISDIR(target.st_mode);
  }
  return info;
}

bool dangling_link(fs::path const& p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
  return ::stat(p.c_str(), &st) != 0;
}

bool system_link(fs::path const& p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
  std::error_code ec;
  auto const resolved = fs::weakly_canonical(p, ec);
  if (ec) return false;
  if (platform::special_file(resolved)) return true;
  auto const roots = platform::system_area_roots();
  return std::any_of(roots.begin(), roots.end(),
                     [&](fs::path const& root) { return within(plain(resolved), root); });
}

bool junction(fs::path const&) { return false; }

fs::path portable_link_text(fs::path const& link, fs::path const& text, fs::path const& root) {
  if (!text.is_absolute() || !within(plain(text), plain(root))) return text;
  return plain(text).lexically_relative(plain(plain(link).parent_path()));
}

bool leaves_root(fs::path const& link, fs::path const& text, fs::path const& root) {
  fs::path const target = text.is_absolute() ? text : plain(link).parent_path() / text;
  return !within(plain(target), plain(root));
}

FileInfoResult create_link_refusal(fs::path const& text, fs::path const& link, bool directory) {
  std::error_code ec;
  if (directory)
    fs::create_directory_symlink(text, link, ec);
  else
    fs::create_symlink(text, link, ec);
  if (!ec) return no_failure;
  for (int refused : {EPERM, ENOTSUP, EOPNOTSUPP, ENOSYS})
    if (ec == std::error_condition(refused, std::generic_category()) ||
        (ec.category() == std::system_category() && ec.value() == refused))
      return links_not_supported;
  return reason_for_write_failure(ec);
}

LinkTrail::LinkTrail(fs::path const& root, std::optional<fs::path> const& other) {
  steps_.push_back({canonical_or_given(root), false});
  if (other) other_ = canonical_or_given(*other);
}

LinkTrail LinkTrail::of_resolved(fs::path const& root, std::optional<fs::path> const& other) {
  LinkTrail trail;
  trail.steps_.push_back({plain(root), false});
  if (other) trail.other_ = plain(*other);
  return trail;
}

FollowRefusal LinkTrail::refusal(fs::path const& link_target) const {
  std::error_code ec;
  auto const resolved = fs::canonical(link_target, ec);
  if (ec || !fs::is_directory(resolved, ec) || ec) return unresolvable;
  return refusal_of(resolved);
}

FollowRefusal LinkTrail::refusal_of(fs::path const& directory) const {
  fs::path const p = plain(directory);
  for (auto const& step : steps_)
    if (within(step.directory, p)) return loop;
  if (other_ && (within(p, *other_) || within(*other_, p))) return overlap;
  auto const links =
      std::count_if(steps_.begin(), steps_.end(), [](Step const& s) { return s.link; });
  if (links >= 8) return too_deep;
  return none;
}

void LinkTrail::enter_link(fs::path const& directory) {
  steps_.push_back({canonical_or_given(directory), true});
}

void LinkTrail::enter_resolved(fs::path const& directory) {
  steps_.push_back({plain(directory), true});
}

void LinkTrail::enter_directory(fs::path const& name) {
  steps_.push_back({plain(steps_.back().directory / name), false});
}

void LinkTrail::leave() {
  if (steps_.size() > 1) steps_.pop_back();
}

}  // namespace Utilities::symlink_util
