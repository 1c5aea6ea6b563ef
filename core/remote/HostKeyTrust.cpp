#include "core/remote/HostKeyTrust.h"

#include <openssl/evp.h>

#include <mutex>
#include <utility>

#include "core/remote/SshHandles.h"
#include "core/remote/SshSession.h"
#include "utilities/Codecs.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {

using Utilities::LogLevel;

namespace {

std::function<bool(std::string const&, std::string const&)> unknown_key_decision;
std::mutex decision_mutex;

std::pair<std::string, std::string> type_and_blob(std::string const& text) {
  std::size_t const blank = text.find(' ');
  if (blank == std::string::npos) return {};
  std::size_t const end = text.find(' ', blank + 1);
  return {text.substr(0, blank),
          text.substr(blank + 1, end == std::string::npos ? std::string::npos : end - blank - 1)};
}

void log_host(LogLevel level, char const* id, std::string const& host) {
  Utilities::log_at(
      level, Utilities::translation::translate(id) + Utilities::util::string_to_wstring(host));
}

// "type blob" of the server's key; empty when it cannot be read.
std::string server_key(ssh_session session, bool& readable) {
  ssh_key raw = nullptr;
  readable = ssh_get_server_publickey(session, &raw) == SSH_OK && raw;
  SshKeyHandle const key(raw);
  if (!readable) return {};
  char* exported = nullptr;
  int const rc = ssh_pki_export_pubkey_base64(key.get(), &exported);
  SshTextHandle const text(exported);
  if (rc != SSH_OK || !text) return {};
  return std::string(ssh_key_type_to_char(ssh_key_type(key.get()))) + " " + text.get();
}

}  // namespace

bool verify_ssh_host_key(ssh_session session, std::string const& host) {
  switch (ssh_session_is_known_server(session)) {
    case SSH_KNOWN_HOSTS_NOT_FOUND:
    case SSH_KNOWN_HOSTS_UNKNOWN:
      if (ssh_session_update_known_hosts(session) == SSH_OK) {
        log_host(LogLevel::Info, "host_key_stored", host);
        return true;
      }
      log_host(LogLevel::Error, "host_key_not_storable", host);
      return false;
    case SSH_KNOWN_HOSTS_OK:
      return true;
    case SSH_KNOWN_HOSTS_CHANGED:
      log_host(LogLevel::Error, "host_key_changed", host);
      return false;
    default:
      log_host(LogLevel::Error, "host_key_verification_failed_for", host);
      return false;
  }
}

bool verify_pinned_host_key(ssh_session session, std::string const& pinned,
                            std::string const& host) {
  bool readable = false;
  std::string const key = server_key(session, readable);
  if (!readable) {
    log_host(LogLevel::Error, "host_key_not_readable", host);
    return false;
  }
  auto const [pin_type, pin_blob] = type_and_blob(pinned);
  auto const [type, blob] = type_and_blob(key);
  if (!blob.empty() && type == pin_type && blob == pin_blob) return true;
  log_host(LogLevel::Error, "host_key_changed", host);
  return false;
}

std::string pinned_key_type(std::string const& pinned) { return type_and_blob(pinned).first; }

std::string host_key_fingerprint(std::string const& pinned) {
  std::vector<std::uint8_t> const bytes = Utilities::base64::decoded(type_and_blob(pinned).second);
  if (bytes.empty()) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1) return {};
  return "SHA256:" +
         Utilities::base64::encoded_unpadded(std::span<std::uint8_t const>(digest, size));
}

std::optional<std::string> fetch_ssh_host_key(SshAccount const& account, std::string& error) {
  SshSessionHandle const session(ssh_new());
  if (!session) {
    error = Utilities::translation::translate_utf8("ssh_session_create_error");
    return std::nullopt;
  }
  apply_ssh_dir(session.get());
  ssh_options_set(session.get(), SSH_OPTIONS_HOST, account.host().c_str());
  unsigned int const port = account.port;
  ssh_options_set(session.get(), SSH_OPTIONS_PORT, &port);
  apply_ssh_connect_timeout(session.get());
  bool const connected = ssh_connect(session.get()) == SSH_OK;
  bool readable = false;
  std::string const key = connected ? server_key(session.get(), readable) : std::string();
  if (key.empty()) error = ssh_get_error(session.get());
  if (connected) ssh_disconnect(session.get());
  if (key.empty()) return std::nullopt;
  return key;
}

void on_unknown_host_key(std::function<bool(std::string const&, std::string const&)> decision) {
  std::lock_guard<std::mutex> lock(decision_mutex);
  unknown_key_decision = std::move(decision);
}

}  // namespace KVO_Core
