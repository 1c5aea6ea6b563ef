#include "core/crypto/EncryptionKey.h"

#include <openssl/crypto.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

#include "core/config/Config.h"
#include "core/config/DurableWrite.h"
#include "core/crypto/Age.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core::encryption_key {

namespace {

constexpr std::string_view TITLE_LINE =
    "# Pellimoravin - key of the encrypted targets. Keep a copy in a safe place.";
constexpr std::string_view RECIPIENT_LINE = "# public key: ";
// A key file is a few lines; anything far larger is not one we wrote and is not read whole.
constexpr std::uintmax_t MAX_FILE_SIZE = 1 << 20;

struct KeyFile {
  enum Status { Missing, Read, Unreadable } status = Missing;
  std::string text;
};

KeyFile read_key_file(std::filesystem::path const& path) {
  std::error_code ec;
  auto const status = std::filesystem::status(path, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) return {KeyFile::Unreadable, {}};
  if (!std::filesystem::exists(status)) return {KeyFile::Missing, {}};
  if (!std::filesystem::is_regular_file(status)) return {KeyFile::Unreadable, {}};
  std::ifstream in(path, std::ios::binary);
  if (!in) return {KeyFile::Unreadable, {}};
  KeyFile file{KeyFile::Read, {}};
  char buffer[4096];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    file.text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (file.text.size() > MAX_FILE_SIZE) return {KeyFile::Unreadable, {}};
  }
  if (in.bad()) return {KeyFile::Unreadable, {}};
  return file;
}

// Lines split at line feeds; a last line without one counts.
std::vector<std::string> lines_of(std::string const& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.emplace_back(text, start, end - start);
    start = end + 1;
  }
  return lines;
}

// The identity a line holds (trimmed), or none. The prefix test is made before trimming and is
// case-sensitive, so indented or lower-case lines are not identities.
std::optional<std::string> identity_in(std::string const& line) {
  if (line.size() < IDENTITY_PREFIX.size() ||
      line.compare(0, IDENTITY_PREFIX.size(), IDENTITY_PREFIX) != 0)
    return std::nullopt;
  std::string identity = Utilities::util::trimmed(line);
  if (!age::recipient_of(identity)) return std::nullopt;
  return identity;
}

struct Parsed {
  std::vector<std::string> identities;
  std::vector<std::string> other_lines;  // kept verbatim on every rewrite
};

Parsed parse(std::string const& text) {
  Parsed parsed;
  std::vector<std::string> const lines = lines_of(text);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string const& line = lines[i];
    if (auto identity = identity_in(line)) {
      parsed.identities.push_back(std::move(*identity));
      continue;
    }
    // Our own two head lines are rewritten, not kept.
    if (i == 0 && line == TITLE_LINE) continue;
    if (i == 1 && lines[0] == TITLE_LINE && line.starts_with(RECIPIENT_LINE)) continue;
    parsed.other_lines.push_back(line);
  }
  return parsed;
}

void log_not_writable(std::filesystem::path const& path) {
  Utilities::log_at(Utilities::LogLevel::Error,
                    Utilities::translation::translate("encryption_key_not_writable"),
                    Utilities::from_path(path));
}

// Writes the file with the given identity first and everything it held before after it, then
// makes the recipient the setting. A file that exists but cannot be read is left alone.
bool store(std::string const& identity, std::string const& recipient) {
  auto const path = identity_file();
  KeyFile const old = read_key_file(path);
  if (old.status == KeyFile::Unreadable) {
    log_not_writable(path);
    return false;
  }
  Parsed const parsed = parse(old.text);
  std::string text(TITLE_LINE);
  text += '\n';
  text += RECIPIENT_LINE;
  text += recipient;
  text += '\n';
  text += identity;
  text += '\n';
  for (auto const& kept : parsed.identities)
    if (kept != identity) text += kept + '\n';
  for (auto const& line : parsed.other_lines) text += line + '\n';

  std::error_code ec;
  if (!path.parent_path().empty()) std::filesystem::create_directories(path.parent_path(), ec);
  // The old file holds keys too: it must not be readable by others, and the new one keeps its mode.
  if (old.status == KeyFile::Read) ::chmod(path.c_str(), 0600);
  try {
    replace_file_durably(path, text);
  } catch (std::exception const& e) {
    OPENSSL_cleanse(text.data(), text.size());
    log_not_writable(path);
    Utilities::log_at(Utilities::LogLevel::Error, std::string(e.what()));
    return false;
  }
  OPENSSL_cleanse(text.data(), text.size());
  Config* config = Config::instance();
  config->settings.update([&](Settings& s) { s.EncryptionRecipient = recipient; });
  config->set_modified();
  return true;
}

}  // namespace

std::filesystem::path identity_file() {
  return Utilities::to_path(Config::get_root_pathname()).parent_path() / "age-identity.txt";
}

std::vector<std::string> identities() {
  KeyFile const file = read_key_file(identity_file());
  if (file.status != KeyFile::Read) return {};
  return parse(file.text).identities;
}

std::optional<std::string> identity() {
  auto all = identities();
  if (all.empty()) return std::nullopt;
  return std::move(all.front());
}

std::optional<std::string> recipient() {
  std::string text = Config::instance()->settings.get().EncryptionRecipient;
  if (!age::valid_recipient(text)) return std::nullopt;
  return text;
}

bool create() {
  if (identity() || recipient()) return false;
  auto const new_identity = age::generate_identity();
  if (!new_identity) return false;
  auto const new_recipient = age::recipient_of(*new_identity);
  if (!new_recipient) return false;
  return store(*new_identity, *new_recipient);
}

bool adopt(std::string const& text) {
  std::string identity = Utilities::util::trimmed(text);
  auto const new_recipient = age::recipient_of(identity);
  if (!new_recipient) return false;
  for (char& c : identity)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return store(identity, *new_recipient);
}

}  // namespace KVO_Core::encryption_key
