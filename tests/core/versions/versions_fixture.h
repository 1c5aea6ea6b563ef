// Helpers shared by the versions tests: folder listings, file times, and child runs of this test
// program in a private mount namespace or under an unprivileged uid.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "support/temp_dir.h"

namespace versions_test {

// Names of the entries of folder (not recursive), sorted.
inline std::set<std::string> names_in(std::filesystem::path const& folder) {
  std::set<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error))
    names.insert(it->path().filename().string());
  return names;
}

inline long long mtime_ns(std::filesystem::path const& file) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) return -1;
  return st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
}

// The folder a child test works in; empty in a normal run (the child tests then skip).
inline std::string child_folder() {
  char const* value = std::getenv("PELLI_VERSIONS_CHILD");
  return value ? value : "";
}

// Runs the named test of this program again with PELLI_VERSIONS_CHILD=folder, behind prefix
// (e.g. "unshare -m sh -c '...'" or "setpriv ..."); gives the child's exit status.
inline int run_child(std::string const& prefix, std::string const& test,
                     std::filesystem::path const& folder) {
  auto self = std::filesystem::read_symlink("/proc/self/exe").string();
  return test_support::run("PELLI_VERSIONS_CHILD='" + folder.string() + "' " + prefix + " '" +
                           self + "' --gtest_filter='" + test + "' >'" + folder.string() +
                           "/child.log' 2>&1");
}

// setpriv as nobody, when there is a nobody to become.
inline std::string as_nobody() { return "setpriv --reuid=65534 --regid=65534 --clear-groups"; }

}  // namespace versions_test
