#include "core/versions/Generations.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "core/remote/RemoteOps.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace KVO_Core::generations {

std::wstring file_name_of(std::wstring const& path) {
  auto slash = path.rfind(L'/');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

namespace {

constexpr std::size_t MAX_DIGITS = 18;

// The remote folder of path: through its last "/", else the account prefix ("name:").
std::wstring remote_folder_of(std::wstring const& path) {
  auto slash = path.rfind(L'/');
  if (slash != std::wstring::npos) return path.substr(0, slash + 1);
  auto colon = path.find(L':');
  return colon == std::wstring::npos ? std::wstring{} : path.substr(0, colon + 1);
}

}  // namespace

std::set<std::wstring> siblings(std::wstring const& path, bool remote) {
  std::set<std::wstring> names;
  if (remote) {
    for (auto const& entry : ssh_list_dir(remote_folder_of(path))) names.insert(entry.name);
    return names;
  }
  auto folder = Utilities::to_path(path).parent_path();
  if (folder.empty()) folder = ".";
  std::error_code error;
  std::filesystem::directory_iterator it(folder, error), end;
  while (!error && it != end) {
    names.insert(Utilities::from_path(it->path().filename()));
    it.increment(error);
  }
  return names;
}

std::vector<std::uint64_t> numbers(std::wstring const& path,
                                   std::set<std::wstring> const& siblings) {
  auto prefix = file_name_of(path) + FATHER_SON_SUFFIX;
  std::vector<std::uint64_t> found;
  for (auto it = siblings.lower_bound(prefix); it != siblings.end(); ++it) {
    if (it->compare(0, prefix.size(), prefix) != 0) break;
    auto rest = std::wstring_view(*it).substr(prefix.size());
    if (rest.empty() || rest.size() > MAX_DIGITS) continue;
    if (!std::all_of(rest.begin(), rest.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; }))
      continue;
    std::uint64_t value = 0;
    for (wchar_t c : rest) value = value * 10 + static_cast<std::uint64_t>(c - L'0');
    found.push_back(value);
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::wstring generation(std::wstring const& path, std::uint64_t n) {
  return path + FATHER_SON_SUFFIX + std::to_wstring(n);
}

std::wstring next(std::wstring const& path, std::set<std::wstring> const& siblings) {
  auto found = numbers(path, siblings);
  return generation(path, found.empty() ? 1 : found.back() + 1);
}

std::wstring next(std::wstring const& path, bool remote) {
  return next(path, siblings(path, remote));
}

std::vector<std::wstring> surplus(std::wstring const& path, std::set<std::wstring> const& siblings,
                                  std::uint16_t keep) {
  std::vector<std::wstring> names;
  if (keep == 0) return names;
  auto found = numbers(path, siblings);
  if (found.size() <= keep) return names;
  for (std::size_t i = 0; i < found.size() - keep; ++i) names.push_back(generation(path, found[i]));
  return names;
}

void prune(std::wstring const& path, bool remote, std::uint16_t keep) {
  if (keep == 0) return;
  remove_all(surplus(path, siblings(path, remote), keep), remote);
}

std::size_t remove_all(std::vector<std::wstring> const& names, bool remote) {
  std::size_t removed = 0;
  for (auto const& name : names) {
    bool done = false;
    if (remote) {
      done = ssh_remove_file(name);
    } else {
      std::error_code error;
      done = std::filesystem::remove(Utilities::to_path(name), error) && !error;
    }
    if (done) {
      ++removed;
      Utilities::Logging::instance().log(
          Utilities::LogLevel::Info, Utilities::translation::translate("generation_removed"), name);
    } else {
      Utilities::Logging::instance().log(
          Utilities::LogLevel::Warning, Utilities::translation::translate("generation_not_removed"),
          name);
    }
  }
  return removed;
}

}  // namespace KVO_Core::generations
