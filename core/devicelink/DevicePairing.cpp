#include "core/devicelink/DevicePairing.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <ctime>
#include <sstream>
#include <vector>

#include "core/devicelink/LinkFiles.h"
#include "utilities/Codecs.h"

namespace KVO_Core {

namespace {

constexpr std::int64_t WINDOW_SECONDS = 600;
constexpr int MAX_FAILURES = 5;
constexpr std::size_t TOKEN_BYTES = 16;
constexpr std::size_t MAX_TOKEN_FILE = 256;

bool same_token(std::string const& a, std::string const& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::string random_hex(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  if (count > 0 && RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) return {};
  return Utilities::hex::encoded(bytes);
}

void DevicePairing::set_dir(std::filesystem::path const& folder) {
  std::lock_guard lock(mutex);
  dir = folder;
}

std::filesystem::path DevicePairing::token_file() const { return dir / "pairing.token"; }

DevicePairing::Window DevicePairing::read() const {
  if (dir.empty()) return {};
  std::istringstream fields(link_files::read(token_file(), MAX_TOKEN_FILE));
  Window window;
  if (!(fields >> window.token >> window.expiry)) return {};
  if (!(std::time(nullptr) < window.expiry) || spent.count(window.token)) return {};
  return window;
}

std::string DevicePairing::begin() {
  std::lock_guard lock(mutex);
  std::string const token = random_hex(TOKEN_BYTES);
  if (token.empty()) return token;
  failures = 0;
  failures_token = token;
  if (dir.empty()) return token;
  std::string const line = token + " " + std::to_string(std::time(nullptr) + WINDOW_SECONDS) + "\n";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  link_files::write(token_file(), line, true);
  return token;
}

void DevicePairing::end() {
  std::lock_guard lock(mutex);
  if (dir.empty()) return;
  std::error_code ec;
  std::filesystem::remove(token_file(), ec);
}

bool DevicePairing::open() const {
  std::lock_guard lock(mutex);
  return !read().token.empty();
}

void DevicePairing::close_window(std::string const& token) {
  spent.insert(token);
  std::error_code ec;
  std::filesystem::remove(token_file(), ec);
}

bool DevicePairing::redeem(std::string const& offered) {
  std::lock_guard lock(mutex);
  Window const window = read();
  if (window.token.empty()) return false;
  // Another process may have opened this window: its wrong guesses start from nothing.
  if (window.token != failures_token) {
    failures_token = window.token;
    failures = 0;
  }
  if (same_token(offered, window.token)) {
    close_window(window.token);
    return true;
  }
  if (++failures >= MAX_FAILURES) close_window(window.token);
  return false;
}

std::string DevicePairing::token() const {
  std::lock_guard lock(mutex);
  return read().token;
}

std::int64_t DevicePairing::expires() const {
  std::lock_guard lock(mutex);
  return read().expiry;
}

}  // namespace KVO_Core
