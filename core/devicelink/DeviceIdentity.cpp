#include "core/devicelink/DeviceIdentity.h"

#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <array>
#include <ctime>
#include <exception>
#include <functional>

#include "core/config/PasswordCrypto.h"
#include "core/devicelink/LinkFiles.h"
#include "core/devicelink/OpenSslHandles.h"
#include "utilities/Codecs.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace KVO_Core {

namespace {

constexpr char const KEY_FILE[] = "device.key";
constexpr char const CERTIFICATE_FILE[] = "device.crt";
constexpr long ONE_DAY = 86400;
constexpr long VALIDITY = 7300L * 86400;
constexpr std::size_t MAX_NAME_CHARACTERS = 64;
constexpr std::size_t MAX_IDENTITY_FILE = 64 * 1024;

std::string read_identity_file(std::filesystem::path const& path) {
  return link_files::read(path, MAX_IDENTITY_FILE);
}

std::string pem_of(std::function<int(BIO*)> const& writer) {
  openssl::Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || writer(bio.get()) != 1) return {};
  char* data = nullptr;
  long const size = BIO_get_mem_data(bio.get(), &data);
  if (size <= 0 || data == nullptr) return {};
  return std::string(data, static_cast<std::size_t>(size));
}

void log_identity(char const* id, std::filesystem::path const& dir) {
  Utilities::log_at(Utilities::LogLevel::Error, Utilities::translation::translate(id),
                    Utilities::from_path(dir));
}

bool write_identity_file(std::filesystem::path const& path, std::string const& bytes) {
  return link_files::write(path, bytes, true);
}

bool add_common_name(X509_NAME* name, std::string const& common) {
  return X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                    reinterpret_cast<unsigned char const*>(common.data()),
                                    static_cast<int>(common.size()), -1, 0) == 1;
}

openssl::Certificate make_certificate(EVP_PKEY* key) {
  openssl::Certificate cert(X509_new());
  if (!cert || X509_set_version(cert.get(), 2) != 1) return nullptr;

  std::array<unsigned char, 16> serial_bytes{};
  if (RAND_bytes(serial_bytes.data(), serial_bytes.size()) != 1) return nullptr;
  serial_bytes[0] &= 0x7f;
  openssl::Bignum serial(BN_bin2bn(serial_bytes.data(), serial_bytes.size(), nullptr));
  if (!serial) return nullptr;
  openssl::Asn1Integer number(BN_to_ASN1_INTEGER(serial.get(), nullptr));
  if (!number || X509_set_serialNumber(cert.get(), number.get()) != 1) return nullptr;

  std::time_t now = std::time(nullptr);
  if (!X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, -ONE_DAY, &now) ||
      !X509_time_adj_ex(X509_getm_notAfter(cert.get()), 0, VALIDITY, &now))
    return nullptr;
  if (X509_set_pubkey(cert.get(), key) != 1) return nullptr;

  openssl::Name name(X509_NAME_new());
  // A host name that is no UTF-8 cannot name the certificate; the fallback can.
  if (!name ||
      (!add_common_name(name.get(), identity_common_name(host_name_or("Pellimoravin"))) &&
       !add_common_name(name.get(), identity_common_name("Pellimoravin"))) ||
      X509_set_subject_name(cert.get(), name.get()) != 1 ||
      X509_set_issuer_name(cert.get(), name.get()) != 1)
    return nullptr;
  if (X509_sign(cert.get(), key, EVP_sha256()) < 1) return nullptr;
  return cert;
}

std::optional<DeviceIdentity> create_identity(std::filesystem::path const& dir) {
  openssl::Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  openssl::Certificate cert = key ? make_certificate(key.get()) : nullptr;
  if (!cert) {
    ERR_clear_error();
    log_identity("device_identity_failed", dir);
    return std::nullopt;
  }
  DeviceIdentity identity;
  identity.key_pem = pem_of([&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  identity.certificate_pem = pem_of([&](BIO* bio) { return PEM_write_bio_X509(bio, cert.get()); });
  if (identity.key_pem.empty() || identity.certificate_pem.empty()) {
    log_identity("device_identity_failed", dir);
    return std::nullopt;
  }
  identity.fingerprint = certificate_fingerprint(cert.get());

  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  // The key goes first: a certificate without its key is found out by the next load, which
  // tests that the two belong together.
  auto const stored = secretblob::protect(identity.key_pem);
  if (!stored || !write_identity_file(dir / KEY_FILE, *stored) ||
      !write_identity_file(dir / CERTIFICATE_FILE, identity.certificate_pem))
    log_identity("device_identity_not_saved", dir);
  return identity;
}

}  // namespace

std::string host_name_or(std::string const& fallback) {
  std::array<char, 256> buffer{};
  if (::gethostname(buffer.data(), buffer.size()) != 0) return fallback;
  buffer.back() = '\0';
  std::string name = buffer.data();
  return name.empty() ? fallback : name;
}

std::string identity_common_name(std::string const& host) {
  std::string const name = "Pellimoravin " + host;
  std::size_t characters = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if ((static_cast<unsigned char>(name[i]) & 0xC0) == 0x80) continue;
    if (++characters > MAX_NAME_CHARACTERS) return name.substr(0, i);
  }
  return name;
}

std::string certificate_fingerprint(X509 const* certificate) {
  if (certificate == nullptr) return {};
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest.data(), &length) != 1) return {};
  return Utilities::hex::encoded(std::span<std::uint8_t const>(digest.data(), length));
}

std::optional<DeviceIdentity> DeviceIdentity::load_or_create(std::filesystem::path const& dir) {
  std::string const stored_key = read_identity_file(dir / KEY_FILE);
  std::string const key_pem = secretblob::unprotect(stored_key).value_or(std::string());
  std::string const certificate_pem = read_identity_file(dir / CERTIFICATE_FILE);

  openssl::Certificate cert = openssl::read_certificate(certificate_pem);
  openssl::Pkey key = cert ? openssl::read_private_key(key_pem) : nullptr;
  if (!cert || !key || X509_check_private_key(cert.get(), key.get()) != 1) {
    ERR_clear_error();
    return create_identity(dir);
  }
  if (secretblob::outdated(stored_key)) {
    auto const renewed = secretblob::protect(key_pem);
    if (!renewed || !write_identity_file(dir / KEY_FILE, *renewed))
      log_identity("device_identity_not_saved", dir);
  }
  return DeviceIdentity{certificate_pem, key_pem, certificate_fingerprint(cert.get())};
}

}  // namespace KVO_Core
