#include "core/crypto/Age.h"

#include <istream>

namespace KVO_Core::age {

namespace {
constexpr char VERSION_LINE[] = "age-encryption.org/v1\n";
}

std::optional<std::string> generate_identity() { return std::nullopt; }
std::optional<std::string> recipient_of(std::string const&) { return std::nullopt; }
bool valid_recipient(std::string const&) { return false; }

bool encrypted(std::istream& in) {
  char buf[sizeof VERSION_LINE - 1];
  in.read(buf, sizeof buf);
  return in.gcount() == static_cast<std::streamsize>(sizeof buf) &&
         std::string(buf, sizeof buf) == VERSION_LINE;
}

Result encrypt(std::istream&, std::ostream&, std::string const&, Progress const&) { return Failed; }
Result decrypt(std::istream&, std::ostream&, std::string const&, Progress const&) {
  return NotEncrypted;
}

}  // namespace KVO_Core::age
