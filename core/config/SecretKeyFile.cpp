#include "core/config/SecretKeyFile.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "core/config/PasswordCrypto.h"
#include "platform/FileDescriptor.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace KVO_Core::secret_key_file {
namespace {

// Wipes a buffer that held key bytes when it goes out of scope.
struct Wiped {
  std::string bytes;
  ~Wiped() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

std::filesystem::path folder_of(std::filesystem::path const& path) {
  auto folder = path.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

bool write_all(int fd, std::string const& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A temporary file beside the key holding its stored form, fsynced; removed again unless
// release() is called after it got its final name.
class TempKeyFile {
 public:
  TempKeyFile(std::filesystem::path const& path, Key const& key) {
    std::string name = (folder_of(path) / (path.filename().string() + ".tmp.XXXXXX")).string();
    platform::FileDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));  // mode 0600
    if (!fd) return;
    name_ = name;
    auto stored = secretblob::protect(
        std::string_view(reinterpret_cast<char const*>(key.data()), key.size()));
    if (!stored) return;
    Wiped bytes{std::move(*stored)};
    if (::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0) return;
    if (!write_all(fd.get(), bytes.bytes) || ::fsync(fd.get()) != 0 || fd.close() != 0) return;
    ready_ = true;
  }
  ~TempKeyFile() {
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  TempKeyFile(TempKeyFile const&) = delete;
  TempKeyFile& operator=(TempKeyFile const&) = delete;

  bool ready() const { return ready_; }
  char const* name() const { return name_.c_str(); }
  void release() { name_.clear(); }

 private:
  std::string name_;
  bool ready_ = false;
};

// The key folder, opened to fsync the new entry and to keep our own processes from creating the
// key at the same moment (an advisory lock; where the file system has none, link() still keeps
// an existing key from being replaced).
class LockedFolder {
 public:
  explicit LockedFolder(std::filesystem::path const& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_) {
      while (::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  bool sync() const { return fd_ && ::fsync(fd_.get()) == 0; }

 private:
  platform::FileDescriptor fd_;
};

// Gives the key file its final name without replacing anything that appeared meanwhile.
int link_exclusively(char const* from, char const* to) {
  if (::link(from, to) == 0) return 0;
  int err = errno;
  if (err == EPERM || err == EOPNOTSUPP || err == ENOSYS) {
    // File systems without hard links.
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    err = errno;
  }
  return err;
}

}  // namespace

ReadResult read(std::filesystem::path const& path) {
  platform::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return {errno == ENOENT ? ReadResult::Missing : ReadResult::Unreadable};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {ReadResult::Unreadable};
  if (st.st_size == 0) return {ReadResult::Empty};

  // Anything longer than a stored key is refused anyway; read one byte more to see it.
  Wiped content;
  content.bytes.resize(4 * KEY_SIZE + 1);
  std::size_t got = 0;
  while (got < content.bytes.size()) {
    ssize_t n = ::read(fd.get(), content.bytes.data() + got, content.bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {ReadResult::Unreadable};
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  content.bytes.resize(got);
  if (got == 0) return {ReadResult::Empty};

  auto plain = secretblob::unprotect(content.bytes);
  if (!plain) return {ReadResult::Unreadable};
  Wiped key_bytes{std::move(*plain)};
  if (key_bytes.bytes.size() != KEY_SIZE) return {ReadResult::Unreadable};

  ReadResult result{ReadResult::Found};
  std::copy(key_bytes.bytes.begin(), key_bytes.bytes.end(), result.key.begin());

  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    Utilities::log_at(Utilities::LogLevel::Warning,
                      Utilities::translation::translate("crypto_key_permissions_fixed"),
                      Utilities::from_path(path));
    if (::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0) {
      Utilities::log_at(Utilities::LogLevel::Error,
                        Utilities::translation::translate("crypto_key_permissions_not_fixed"),
                        Utilities::from_path(path));
    }
  }
  result.outdated = secretblob::outdated(content.bytes);
  return result;
}

std::optional<Key> store_new(std::filesystem::path const& path, Key const& key) {
  std::error_code ignored;
  std::filesystem::create_directories(folder_of(path), ignored);
  LockedFolder folder(folder_of(path));

  // Another process may have stored a key while we waited for the lock.
  auto existing = read(path);
  if (existing.status == ReadResult::Found) return existing.key;
  if (existing.status == ReadResult::Unreadable) return std::nullopt;

  TempKeyFile temp(path, key);
  if (!temp.ready()) return std::nullopt;
  int err = link_exclusively(temp.name(), path.c_str());
  if (err == 0) {
    // The temporary name goes before the folder is synced, so no second copy of the key lasts.
    ::unlink(temp.name());
    temp.release();
    if (!folder.sync()) return std::nullopt;
    return key;
  }
  if (err != EEXIST) return std::nullopt;

  existing = read(path);
  if (existing.status == ReadResult::Found) return existing.key;
  if (existing.status != ReadResult::Empty) return std::nullopt;
  // An empty key file is a leftover of an interrupted write; it holds no key to lose.
  if (::rename(temp.name(), path.c_str()) != 0) return std::nullopt;
  temp.release();
  if (!folder.sync()) return std::nullopt;
  return key;
}

bool rewrite(std::filesystem::path const& path, Key const& key) {
  LockedFolder folder(folder_of(path));
  TempKeyFile temp(path, key);
  if (!temp.ready() || ::rename(temp.name(), path.c_str()) != 0) return false;
  temp.release();
  return folder.sync();
}

}  // namespace KVO_Core::secret_key_file
