// Local symbolic links as the engine needs them: what a link points to, whether it leaves the
// tree or leads into the system's device areas, a portable form of absolute link texts, making
// links, and the trail that guards a walk that follows directory links. The tests named lexical
// compare path elements only and never touch the disk.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "utilities/FailureReasons.h"

namespace Utilities::symlink_util {

struct LinkInfo {
  bool is_link = false;
  std::filesystem::path text;  // the link text as stored
  bool target_exists = false;
  bool target_is_dir = false;
  FilesystemUtil::FileInfoResult reason = FilesystemUtil::no_failure;  // 0: path examined
};

// The link trail's answer. Plain int enumeration.
enum FollowRefusal : int { none = 0, unresolvable = 1, loop = 2, overlap = 3, too_deep = 4 };

// A missing path, a file or a directory give is_link false and reason 0; a path that cannot be
// examined gives its reason. For a link: its text, and the target's existence and kind (followed);
// a failure to read the text gives its reason (17 for the generic one). Never throws.
LinkInfo link_info(std::filesystem::path const& p);
// A link whose target cannot be reached. Never throws.
bool dangling_link(std::filesystem::path const& p);
// A link whose resolved target is a device, FIFO or socket, or lies within "/dev", "/proc" or
// "/sys". False for anything else and when it cannot be resolved. Never throws.
bool system_link(std::filesystem::path const& p);
// Always false: there are no junctions here.
bool junction(std::filesystem::path const& p);

// Lexical. An absolute text within root, rewritten relative to the link's directory; any other
// text unchanged.
std::filesystem::path portable_link_text(std::filesystem::path const& link,
                                         std::filesystem::path const& text,
                                         std::filesystem::path const& root);
// Lexical. The link's target (the text, relative to the link's directory) lies outside root.
bool leaves_root(std::filesystem::path const& link, std::filesystem::path const& text,
                 std::filesystem::path const& root);

// Makes a link at `link` with `text` (a directory link when asked): 0 when done; 14 when the
// system refuses links there (EPERM, ENOTSUP, EOPNOTSUPP, ENOSYS); else the write reason (an
// existing entry at link gives 10).
FilesystemUtil::FileInfoResult create_link_refusal(std::filesystem::path const& text,
                                                   std::filesystem::path const& link,
                                                   bool directory);

// The directories a walk has entered, to refuse loops, the other side of the item and chains of
// more than seven links. Belongs to one walk on one thread.
class LinkTrail {
 public:
  struct Step {
    std::filesystem::path directory;
    bool link = false;  // entered through a symbolic link
  };

  // Starts at the canonical root (as given when it cannot be made canonical); the other root,
  // when given, is taken canonical the same way.
  explicit LinkTrail(std::filesystem::path const& root,
                     std::optional<std::filesystem::path> const& other = std::nullopt);
  // The same for paths that are already canonical.
  static LinkTrail of_resolved(std::filesystem::path const& root,
                               std::optional<std::filesystem::path> const& other = std::nullopt);

  // 1 when the target cannot be resolved to an existing directory; else refusal_of it.
  FollowRefusal refusal(std::filesystem::path const& link_target) const;
  // In this order: 2 when a directory of the trail lies within it, 3 when it lies within the other
  // root or that within it, 4 when eight or more steps came through links, else 0.
  FollowRefusal refusal_of(std::filesystem::path const& directory) const;

  void enter_link(std::filesystem::path const& directory);      // made canonical first
  void enter_resolved(std::filesystem::path const& directory);  // already canonical
  void enter_directory(std::filesystem::path const& name);      // a plain subdirectory
  // Drops the last step; the root stays.
  void leave();

  std::vector<Step> const& steps() const { return steps_; }

 private:
  LinkTrail() = default;
  std::optional<std::filesystem::path> other_;
  std::vector<Step> steps_;
};

}  // namespace Utilities::symlink_util
