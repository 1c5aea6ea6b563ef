#include "core/crypto/TargetEncryption.h"

#include <fstream>

namespace KVO_Core::target_encryption {

age::Result encrypt_file(std::filesystem::path const&, std::filesystem::path const&,
                         age::Progress const&) {
  return age::Failed;
}

age::Result decrypt_file(std::filesystem::path const&, std::filesystem::path const&,
                         age::Progress const&) {
  return age::WrongKey;
}

bool encrypted_file(std::filesystem::path const& file) {
  std::ifstream in(file, std::ios::binary);
  return in && age::encrypted(in);
}

std::pair<bool, bool> holds(std::filesystem::path const&, std::filesystem::path const&) {
  return {false, false};
}

std::filesystem::path scratch_file() {
  throw std::filesystem::filesystem_error("scratch_file",
                                          std::make_error_code(std::errc::io_error));
}

std::wstring message(age::Result) { return L"encryption_failed"; }

}  // namespace KVO_Core::target_encryption
