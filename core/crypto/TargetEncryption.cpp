#include "core/crypto/TargetEncryption.h"

#include "utilities/NoClobber.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

#include "core/config/SyncItem.h"
#include "core/crypto/ComparingBuffer.h"
#include "core/crypto/EncryptionKey.h"
#include "core/crypto/OutputFile.h"
#include "platform/FileDescriptor.h"
#include "utilities/StagingFiles.h"
#include "utilities/Translation.h"

namespace KVO_Core::target_encryption {

namespace {

using crypto_files::OutputFile;

// Attempts at a free name before giving up; every clash is someone else's file.
constexpr int NAME_ATTEMPTS = 1000;

// "<plain>.kvo-part", then "<plain>.<n>.kvo-part"; where the name grows too long for the file
// system, a short hidden name in the same folder.
std::filesystem::path staging_candidate(std::filesystem::path const& plain, int attempt,
                                        bool short_name) {
  std::string const number = attempt > 0 ? "." + std::to_string(attempt) : "";
  if (short_name)
    return plain.parent_path() /
           (".decrypting-" + std::to_string(::getpid()) + number + ".kvo-part");
  std::filesystem::path name = plain;
  name += number + ".kvo-part";
  return name;
}

// One attempt with one identity: the plain file appears only when everything succeeded.
age::Result decrypt_with(std::filesystem::path const& encrypted, std::filesystem::path const& plain,
                         std::string const& identity, age::Progress const& progress) {
  std::ifstream in(encrypted, std::ios::binary);
  if (!in) return age::ReadFailed;
  std::filesystem::path staging;
  std::unique_ptr<OutputFile> out;
  bool short_name = false;
  // Claimed before it exists: a walk meanwhile must not take it for a leftover.
  std::optional<Utilities::staging::Claim> claim;
  for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
    staging = staging_candidate(plain, attempt, short_name);
    claim.emplace(staging);
    out = std::make_unique<OutputFile>(staging, O_CREAT | O_EXCL, 0666);
    if (out->is_open()) break;
    if (errno == ENAMETOOLONG && !short_name) {
      short_name = true;
      attempt = -1;
    } else if (errno != EEXIST) {
      break;
    }
  }
  if (!out->is_open()) return age::WriteFailed;
  age::Result result = age::decrypt(in, out->stream(), identity, progress);
  bool const synced = result == age::Ok && out->sync();
  bool const closed = out->close();
  if (result == age::Ok && (!synced || !closed)) result = age::WriteFailed;
  // An existing file is never replaced: the name was chosen free by the caller.
  if (result == age::Ok && Utilities::no_clobber::rename(staging, plain)) result = age::WriteFailed;
  if (result != age::Ok) ::unlink(staging.c_str());
  return result;
}

}  // namespace

std::optional<std::wstring> refusal(SyncItem const& item) {
  char const* id = nullptr;
  if (!item.flags.encryptTarget)
    return std::nullopt;
  else if (item.flags.twoWaySync)
    id = "encryption_not_with_two_way";
  else if (item.flags.trackMoves)
    id = "encryption_not_with_track_moves";
  else if (item.source() && item.source()->kind == SyncPath::Ssh)
    id = "encryption_needs_local_source";
  else if (!encryption_key::recipient())
    id = "encryption_key_missing";
  else
    return std::nullopt;
  return Utilities::translation::translate(id);
}

age::Result encrypt_file(std::filesystem::path const& source, std::filesystem::path const& target,
                         age::Progress const& progress) {
  auto const recipient = encryption_key::recipient();
  if (!recipient) return age::Failed;
  std::ifstream in(source, std::ios::binary);
  if (!in) return age::ReadFailed;
  OutputFile out(target, O_CREAT | O_TRUNC, 0666);
  if (!out.is_open()) return age::WriteFailed;
  age::Result result = age::encrypt(in, out.stream(), *recipient, progress);
  if (!out.close() && result == age::Ok) result = age::WriteFailed;
  return result;
}

age::Result decrypt_file(std::filesystem::path const& encrypted, std::filesystem::path const& plain,
                         age::Progress const& progress) {
  age::Result result = age::WrongKey;
  for (auto const& identity : encryption_key::identities()) {
    result = decrypt_with(encrypted, plain, identity, progress);
    if (result != age::WrongKey) break;
  }
  return result;
}

bool encrypted_file(std::filesystem::path const& file) {
  std::ifstream in(file, std::ios::binary);
  return in && age::encrypted(in);
}

std::pair<bool, bool> holds(std::filesystem::path const& encrypted,
                            std::filesystem::path const& plain) {
  for (auto const& identity : encryption_key::identities()) {
    std::ifstream in(encrypted, std::ios::binary);
    std::ifstream original(plain, std::ios::binary);
    if (!in || !original) continue;
    ComparingBuffer comparing(original);
    std::ostream sink(&comparing);
    age::Result const result = age::decrypt(in, sink, identity, {});
    if (result == age::WrongKey) continue;
    if (result != age::Ok) return {false, true};
    bool const rest_empty = original.rdbuf()->sgetc() == std::char_traits<char>::eof();
    return {comparing.equal() && rest_empty, true};
  }
  return {false, false};
}

std::filesystem::path scratch_file() {
  static std::atomic<std::uint32_t> counter{0};
  std::filesystem::path const folder = std::filesystem::temp_directory_path();
  std::string const prefix = "pellimoravin-encrypting-" + std::to_string(::getpid()) + "-";
  std::filesystem::path name;
  int error = EEXIST;
  for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
    name = folder / (prefix + std::to_string(counter.fetch_add(1) + 1) + ".tmp");
    // Exclusive and without following links: the temporary folder is shared with other users.
    platform::FileDescriptor const fd(
        ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd) return name;
    error = errno;
    if (error != EEXIST) break;
  }
  throw std::filesystem::filesystem_error("scratch file not creatable", name,
                                          std::error_code(error, std::generic_category()));
}

std::wstring message(age::Result result) {
  switch (result) {
    case age::Cancelled:
      return Utilities::translation::translate("copy_cancelled");
    case age::ReadFailed:
      return Utilities::translation::translate("encryption_read_failed");
    case age::WriteFailed:
      return Utilities::translation::translate("encryption_write_failed");
    case age::NotEncrypted:
      return Utilities::translation::translate("encryption_not_encrypted");
    case age::WrongKey:
      return Utilities::translation::translate("encryption_wrong_key");
    case age::Damaged:
      return Utilities::translation::translate("encryption_damaged");
    case age::Failed:
      return Utilities::translation::translate("encryption_failed");
    default:
      return {};
  }
}

}  // namespace KVO_Core::target_encryption
