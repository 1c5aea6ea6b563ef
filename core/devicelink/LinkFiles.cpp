#include "core/devicelink/LinkFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>

#include "utilities/DurableWrite.h"
#include "platform/FileDescriptor.h"

namespace KVO_Core::link_files {

bool write(std::filesystem::path const& path, std::string_view text, bool private_file) {
  try {
    auto const replaced = Utilities::FilesystemUtil::replace_file_durably(path, text);
    // Someone may have widened the file this one replaces.
    if (private_file && (replaced.written.st_mode & 07777) != 0600)
      return ::chmod(path.c_str(), 0600) == 0;
    return true;
  } catch (std::exception const&) {
    return false;
  }
}

std::string read(std::filesystem::path const& path, std::size_t limit) {
  platform::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return {};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  std::string bytes;
  char buffer[4096];
  for (;;) {
    ssize_t const got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return {};
    }
    if (got == 0) return bytes;
    if (bytes.size() + static_cast<std::size_t>(got) > limit) return {};
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

std::vector<std::string> read_lines(std::filesystem::path const& path) {
  std::string const text = read(path);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

int first_line_number(std::filesystem::path const& path) {
  auto const lines = read_lines(path);
  if (lines.empty()) return 0;
  return std::atoi(lines.front().c_str());
}

}  // namespace KVO_Core::link_files
