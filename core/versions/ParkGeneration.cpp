#include "core/versions/ParkGeneration.h"

#include <filesystem>
#include <set>
#include <system_error>

#include "core/versions/Generations.h"
#include "utilities/NoClobber.h"
#include "utilities/Paths.h"

namespace KVO_Core::generations {

namespace {

// A name taken between the listing and the rename is tried again with a fresh listing.
constexpr int ATTEMPTS = 3;

}  // namespace

Utilities::FilesystemUtil::FileInfoResult park_refusal(std::wstring const& path,
                                                       std::wstring& parked_as) {
  auto file = Utilities::to_path(path);
  auto folder = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
  std::error_code error;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    std::set<std::wstring> names;
    std::filesystem::directory_iterator it(folder, error), end;
    while (!error && it != end) {
      names.insert(Utilities::from_path(it->path().filename()));
      it.increment(error);
    }
    if (error) return Utilities::FilesystemUtil::reason_for_failure(error);
    auto name = next(path, names);
    error = Utilities::no_clobber::rename(file, Utilities::to_path(name));
    if (!error) {
      parked_as = name;
      return Utilities::FilesystemUtil::no_failure;
    }
    if (error != std::errc::file_exists) break;
  }
  return Utilities::FilesystemUtil::reason_for_write_failure(error);
}

}  // namespace KVO_Core::generations
